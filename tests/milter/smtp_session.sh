# Sourced by postfix_test.sh: an SMTP client in bash, for envelopes that swaks cannot write
# (ESMTP parameters, source routes). smtp_session PORT < SCRIPT sends each line of the script
# with CR LF and reads the reply after each command; the lines after DATA, through ".", are the
# message.
smtp_session() {
  local fd reply line in_data=0
  exec {fd}<>"/dev/tcp/127.0.0.1/$1" || return 1
  read_reply() { while IFS= read -r -t 20 -u "$fd" reply; do [[ ${reply:3:1} == " " ]] && break; done; }
  read_reply
  while IFS= read -r line; do
    printf '%s\r\n' "$line" >&"$fd"
    if ((in_data)); then
      [[ $line == . ]] && in_data=0 && read_reply
      continue
    fi
    read_reply
    [[ ${line^^} == DATA ]] && in_data=1
  done
  exec {fd}>&-
}
