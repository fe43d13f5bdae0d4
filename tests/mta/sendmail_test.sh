#!/usr/bin/env bash
# hdx-milter inside a real Sendmail of its own, on loopback, declared with INPUT_MAIL_FILTER: the
# messages of the Postfix test must come through with the same fields and log lines, byte for
# byte (but for one that Sendmail never shows a filter whole). Usage: sendmail_test.sh HDX_MILTER WORK_DIR. Needs root, swaks and Sendmail's binary
# (installed, or unpacked by .ci/setup); without them the test is skipped, unless
# HDX_REQUIRE_SENDMAIL is set, as CI sets it. It stops everything it started, whatever happens.
set -uo pipefail
milter=$(realpath "$1") work=$(realpath -m "$2") required=HDX_REQUIRE_SENDMAIL milter_pid=
here=$(dirname "$0")
. "$here/harness.sh"
. "$here/sendmail_instance.sh"
[[ $(id -u) == 0 ]] || skip "a throwaway Sendmail needs root"
command -v swaks >/dev/null || skip "swaks is not installed (bash .ci/setup installs it)"
[[ -x $sendmail ]] || skip "no Sendmail binary (bash .ci/setup unpacks Debian's)"
milter_under sendmail
milter_checks 64K
finish
