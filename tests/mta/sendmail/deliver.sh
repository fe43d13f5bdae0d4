#!/bin/sh
# Sendmail's mailer for the tests: each message into the Maildir as Maildir readers expect,
# written under tmp/, then moved; live.py fills in @INBOX@.
name=$(date +%s.%N).$$
cat >"@INBOX@/tmp/$name" && mv "@INBOX@/tmp/$name" "@INBOX@/new/$name"
