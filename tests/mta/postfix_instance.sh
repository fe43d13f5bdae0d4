# Sourced, after harness.sh, by postfix_test.sh and bench/milter_load.sh: a throwaway Postfix instance of its own under $work, on loopback.
# postfix_setup SMTP_PORT MILTER_PORT writes its configuration; postfix_start and postfix_stop run it.
# Delivery goes to one Maildir, $work/mail/inbox, for every recipient in test.example.

postfix_setup() {
  local smtp_port=$1 milter_port=$2
  mkdir -p "$work/etc" "$work/queue" "$work/data" "$work/mail"
  chown postfix "$work/data"
  chown nobody:nogroup "$work/mail"
  cat >"$work/etc/main.cf" <<CF
compatibility_level = 3.6
queue_directory = $work/queue
data_directory = $work/data
mail_owner = postfix
setgid_group = postdrop
myhostname = mx.hdx-test.example
mydomain = hdx-test.example
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtpd_relay_restrictions = permit_mynetworks, reject
smtpd_recipient_restrictions = permit_mynetworks, reject
strict_rfc821_envelopes = no
smtpd_milters = inet:127.0.0.1:$milter_port
milter_default_action = accept
virtual_mailbox_domains = test.example
virtual_mailbox_base = $work/mail
virtual_mailbox_maps = static:inbox/
virtual_uid_maps = static:$(id -u nobody)
virtual_gid_maps = static:$(getent group nogroup | cut -d: -f3)
virtual_minimum_uid = 1
alias_maps =
alias_database =
biff = no
smtputf8_enable = no
# Keep upstream Return-Path fields, which Postfix drops by default, so that the filter sees them.
message_drop_headers = bcc, content-length, resent-bcc
maillog_file = $work/maillog
maillog_file_prefixes = $work
CF
  # Every service runs outside a chroot, so nothing has to be copied into the queue directory.
  cat >"$work/etc/master.cf" <<CF
127.0.0.1:$smtp_port inet n - n - - smtpd
pickup unix n - n 60 1 pickup
cleanup unix n - n - 0 cleanup
qmgr unix n - n 300 1 qmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
verify unix - - n - 1 verify
flush unix n - n 1000? 0 flush
proxymap unix - - n - - proxymap
showq unix n - n - - showq
error unix - - n - - error
retry unix - - n - - error
discard unix - - n - - discard
virtual unix - n n - - virtual
anvil unix - - n - 1 anvil
scache unix - - n - 1 scache
postlog unix-dgram n - n - 1 postlogd
CF
}

postfix_start() { postfix -c "$work/etc" start >>"$work/postfix.out" 2>&1; }
# Waits until the master process has gone, so that nothing is left running.
postfix_stop() {
  postfix -c "$work/etc" stop >>"$work/postfix.out" 2>&1
  for _ in $(seq 100); do postfix -c "$work/etc" status >/dev/null 2>&1 || return 0; sleep 0.1; done
}
