#!/usr/bin/env bash
# Unpacks Debian's exim4-daemon-heavy into /opt/exim4-heavy, beside an installed Postfix (the
# packages conflict), installs the libraries its binary links, and makes the user it runs as.
# Run as root; does nothing when it is there already.
set -euo pipefail
root=/opt/exim4-heavy
if [[ ! -x $root/usr/sbin/exim4 ]]; then
  tmp=$(mktemp -d)
  chown _apt "$tmp" 2>/dev/null || true  # apt downloads as its own user
  (cd "$tmp" && apt-get download -qq exim4-daemon-heavy)
  deps=$(dpkg-deb -f "$tmp"/exim4-daemon-heavy_*.deb Depends | tr ',' '\n' |
         sed 's/(.*)//; s/|.*//; s/ //g' | grep '^lib')
  # shellcheck disable=SC2086 # one package a word
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $deps
  dpkg -x "$tmp"/exim4-daemon-heavy_*.deb "$root"
  rm -rf "$tmp"
fi
# As exim4-base's maintainer script makes it.
getent passwd Debian-exim >/dev/null ||
  adduser --system --group --quiet --home /var/spool/exim4 --no-create-home Debian-exim
