#!/usr/bin/env python3
# The hosts inside real MTAs on loopback: hdx-milter under a throwaway Postfix or Sendmail, or under
# Debian's own Postfix as its package installs it; hdx-exim under a throwaway Exim. Every shared
# message sent from 127.0.0.1 must come out with exactly one field of the added name, holding the
# message's value, and through the filter with the message's log line; hostile headers must leave
# a well-formed field; then each MTA shows what is its own. Everything started is stopped, and a
# configuration changed put back, whatever happens.
#
# Usage: live.py postfix|sendmail FILTER WORK
#        live.py exim MODULE ACL WORK    (ACL: the statements as the build or the package writes them)
#        live.py installed WORK          (the installed hdx-milter and Debian's Postfix: debian/tests)
# Needs root and the MTA (installed, or unpacked by .ci/unpack-mta); without them it exits 77, as
# skipped, unless HDX_REQUIRE_POSTFIX, HDX_REQUIRE_SENDMAIL or HDX_REQUIRE_EXIM is set.
import grp
import os
import pathlib
import pwd
import re
import shlex
import shutil
import signal
import smtplib
import socket
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "cases"))
import cases  # noqa: E402

ADDED = re.compile(rb"^x-hdx-identity[ \t]*:(.*(?:\n[ \t].*)*)", re.I | re.M)
ANN, BOB = b"<ann@example.org>", [b"<bob@test.example>"]
COUNT = {"passed": 0, "failed": 0}
IDS = {"NOBODY_UID": pwd.getpwnam("nobody").pw_uid, "NOGROUP_GID": grp.getgrnam("nogroup").gr_gid}


def check(ok, what, detail=""):
    COUNT["passed" if ok else "failed"] += 1
    if not ok:
        print(f"FAIL {what}", detail or "", sep="\n", flush=True)
    return ok


def finish():
    print(f"{COUNT['passed']} passed, {COUNT['failed']} failed")
    return COUNT["failed"] != 0


def fill(template, out, **names):
    text = (HERE / template).read_text()
    for name, value in names.items():
        text = text.replace(f"@{name}@", str(value))
    pathlib.Path(out).write_text(text)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(ready, seconds=5.0):  # what ready() gave last
    end = time.monotonic() + seconds
    while not (done := ready()) and time.monotonic() < end:
        time.sleep(0.1)
    return done


def listening(where):  # a loopback port, or a unix socket's path once /proc names it
    if isinstance(where, int):
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", where)) == 0
    return f" {where}\n" in pathlib.Path("/proc/net/unix").read_text()


def sh(*command, **kw):
    return subprocess.run([c if isinstance(c, bytes) else str(c) for c in command], check=False,
                          **kw)


def heads(work, line):  # the header sections delivered to work/mail/inbox that hold the line
    found = [f.read_bytes().split(b"\n\n", 1)[0] for f in (work / "mail/inbox/new").glob("*")]
    return [h for h in found if line in h.split(b"\n")]


def transact(s, fields, label, mail=ANN, rcpts=BOB):  # one message in an open session; the reply
    for command in [b"MAIL FROM:" + mail] + [b"RCPT TO:" + r for r in rcpts]:
        s.docmd(command.decode("utf-8", "surrogateescape"))
    try:
        return s.data(b"\r\n".join(fields + [b"X-Case: %s" % str(label).encode()]) +
                      b"\r\n\r\nbody\r\n")
    except smtplib.SMTPDataError as e:
        return e.smtp_code, e.smtp_error


def send(port, fields, label, mail=ANN, rcpts=BOB, xclient=None, source=""):  # one session
    with smtplib.SMTP("127.0.0.1", port, timeout=60, source_address=(source, 0)) as s:
        s.ehlo("client.example")
        if xclient:  # Postfix's XCLIENT: the session goes on as from that client, anew
            s.docmd("XCLIENT " + xclient)
            s.ehlo("client.example")
        return transact(s, fields, label, mail, rcpts)


def deliver(port, work, fields, label, mail=ANN, rcpts=BOB):
    # The message sent, and its header section as delivered (None if it is not).
    reply = send(port, fields, label, mail, rcpts)
    line = b"X-Case: " + str(label).encode()
    return wait_for(lambda: (heads(work, line) or [None])[0], 20) or print(reply)


def flow(port, count, sessions, rcpt):  # smtp-source in the background
    return subprocess.Popen(["smtp-source", "-c", "-m", str(count), "-s", str(sessions), "-f",
                             "ann@example.org", "-t", rcpt, f"127.0.0.1:{port}"],
                            stdout=subprocess.DEVNULL)


def arrived(work, rcpt, count):  # the header sections to rcpt, once count are there (or 60 s)
    wait_for(lambda: len(heads(work, b"To: <%s>" % rcpt)) >= count, 60)
    return heads(work, b"To: <%s>" % rcpt)


def added(head):  # the values of the fields of the added name, continuation lines kept
    return [m.group(1) for m in ADDED.finditer(head or b"")]


def items(value):  # the added field's items, unfolded
    flat = value.strip().replace(b";\n\t", b"; ").replace(b",\n\t", b",")
    return dict(item.split(b"=", 1) for item in flat.split(b"; "))


def log_line(log, head):  # a delivered message's log line, found by its queue id, QID in its place
    qid = re.search(rb" with E?SMTP id ([0-9A-Za-z]+)", head or b"")
    key = b'"queue_id":"%s"' % (qid.group(1) if qid else b"?")
    found = [line for line in log.read_bytes().split(b"\n") if key in line] if log.exists() else []
    return found[0].replace(key, b'"queue_id":"QID"') if found else None


def message(words):  # the first shared message whose name holds the words
    return next(m for m in cases.messages() if words in cases.value(m, "name"))


class Filter:  # hdx-milter in the foreground, logging
    def __init__(self, binary, work):
        self.binary, self.port, self.log, self.out = binary, free_port(), work / "identity.log", \
            open(work / "milter.out", "ab")

    def start(self, where=None, options=()):
        where = where or f"inet:{self.port}@127.0.0.1"
        self.process = subprocess.Popen([self.binary, "--foreground", "-p", where, "--log",
                                         self.log, *options], stdout=self.out, stderr=self.out)
        return wait_for(lambda: listening(where[5:] if where.startswith("unix:") else self.port))

    def stop(self, kill=False):
        if self.process:
            self.process.send_signal(signal.SIGKILL if kill else signal.SIGTERM)
            check(self.process.wait() == 0 or kill, "hdx-milter: exit status after SIGTERM")
        self.process = None


class Mta:
    # Where a held message waits, and what its file there holds besides it: Postfix's hold queue,
    # Sendmail's queue file with the quarantine reason, Exim's header file marked frozen.
    quarantine = ("queue/hold", b"")

    @staticmethod
    def same_identity(got, want):
        return got == b" " + want


class Postfix(Mta):
    def __init__(self, work, milter):
        self.work, self.port, self.etc = work, free_port(), work / "etc"
        for d in ("etc", "queue", "data"):
            (work / d).mkdir()
        shutil.chown(work / "data", "postfix")
        fill("postfix/main.cf", self.etc / "main.cf", WORK=work, MILTER_PORT=milter.port, **IDS)
        fill("postfix/master.cf", self.etc / "master.cf", SMTP_PORT=self.port)

    def postfix(self, *args):
        return sh("postfix", "-c", self.etc, *args, capture_output=True)

    def start(self):
        self.postfix("start")
        return wait_for(lambda: listening(self.port))

    def stop(self):
        self.postfix("stop")
        wait_for(lambda: self.postfix("status").returncode, 10)


class Sendmail(Mta):
    quarantine = ("mqueue", b"hdx: from-display-address")
    root = pathlib.Path(os.environ.get("HDX_SENDMAIL_ROOT") or (
        "/" if os.access("/usr/libexec/sendmail/sendmail", os.X_OK) else "/opt/sendmail"))
    binary = root / "usr/libexec/sendmail/sendmail"

    def __init__(self, work, milter):
        self.work, self.port = work, free_port()
        for d in ("tmp", "new", "cur"):
            (work / "mail/inbox" / d).mkdir(parents=True)
        sh("chown", "-R", "nobody:nogroup", work / "mail")
        (work / "mqueue").mkdir(mode=0o700)
        for name in ("hosts", "service.switch", "statistics"):
            fill(f"sendmail/{name}", work / name)
        fill("sendmail/deliver.sh", work / "deliver.sh", INBOX=work / "mail/inbox")
        fill("sendmail/sendmail.mc", work / "sendmail.mc", CF=self.root / "usr/share/sendmail/cf",
             WORK=work, SMTP_PORT=self.port, MILTER_PORT=milter.port)
        with open(work / "sendmail.cf", "wb") as cf:
            sh("m4", work / "sendmail.mc", stdout=cf)

    def start(self):
        # Sendmail looks its own host name up at start, and sleeps a minute where that fails, as
        # it does where the machine's name is in no hosts file and no DNS answers. So it runs in
        # namespaces of its own: its host name is the test's, and /etc/hosts, for it alone, names it.
        self.process = subprocess.Popen(
            ["unshare", "--mount", "--uts", "sh", "-c", 'mount --bind "$1" /etc/hosts && '
             'hostname mx.hdx-test.example && exec "$2" -C "$3" -bD', "sh", self.work / "hosts",
             self.binary, self.work / "sendmail.cf"])
        return wait_for(lambda: listening(self.port))

    def stop(self):  # every process in its mount namespace, so that nothing is left running
        namespace = os.readlink(f"/proc/{self.process.pid}/ns/mnt")
        self.process.terminate()
        self.process.wait()
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.readlink(f"/proc/{pid}/ns/mnt") == namespace:
                    os.kill(int(pid), signal.SIGKILL)
            except OSError:
                pass


class Exim(Mta):
    quarantine = ("spool/input", b"\n-frozen ")
    binary = shutil.which("exim4") or "/opt/exim4-heavy/usr/sbin/exim4"
    trusted = pathlib.Path("/etc/exim4/trusted_configs")

    def __init__(self, work, acl):
        self.work, self.port, self.conf = work, free_port(), work / "exim.conf"
        for d in ("spool", "log"):
            (work / d).mkdir()
            shutil.chown(work / d, "Debian-exim", "Debian-exim")
        fill("exim.conf", self.conf, EXIM=self.binary, WORK=work, PORT=self.port, ACL=acl)
        # Exim keeps root for a configuration named with -C only where this list names it, and
        # without root its deliveries could not become the mailbox's user.
        self.trusted.parent.mkdir(parents=True, exist_ok=True)
        with self.trusted.open("a") as f:
            f.write(f"{self.conf}\n")
        self.trusted.chmod(0o644)

    def start(self):
        self.process = subprocess.Popen([self.binary, "-C", self.conf, "-bdf"])
        return wait_for(lambda: listening(self.port))

    def stop(self):  # every process of this instance, and its configuration off the list
        self.process.terminate()
        self.process.wait()
        mine = ["-f", "--", f"-C {self.conf}"]
        wait_for(lambda: sh("pgrep", *mine, capture_output=True).returncode, 10)
        sh("pkill", "-KILL", *mine)
        left = [c for c in self.trusted.read_text().splitlines() if c != str(self.conf)]
        self.trusted.write_text("".join(f"{c}\n" for c in left))
        if not left:
            self.trusted.unlink()
            sh("rmdir", "--ignore-fail-on-non-empty", self.trusted.parent)

    @staticmethod
    def same_identity(got, want):
        # Exim hands the module its own Received field first; without a host name it names no
        # address ("from [127.0.0.1] (helo=...)"), so an empty entry comes before the others. It
        # drops the Return-Path fields that a message comes with, as final delivery adds its own.
        want = items(want)
        want[b"received-ip"] = b"," + want[b"received-ip"] if want[b"received-ip"] else b""
        return items(got) == {**want, b"return-path": b""}


def message_cases(mta, log):
    for n, m in enumerate(cases.messages()):
        if cases.value(m, "peer") == b"127.0.0.1":
            name = cases.value(m, "name").decode()
            head = deliver(mta.port, mta.work, m["field"], n, cases.value(m, "mail"), m["rcpt"])
            values, identity = added(head), cases.value(m, "identity")
            check(len(values) == 1 and items(values[0])[b"checks"] == cases.value(m, "checks") and
                  (not identity or mta.same_identity(values[0], identity)), f"{name}: the field", head)
            check(not log or "log" not in m or log_line(log, head) == cases.value(m, "log"),
                  f"{name}: the log line")


def hostile_message(mta):
    # A header that no host may choke on: 5,000 fields after a folded Received field of 200 KB,
    # over the cap, with 8-bit bytes in every field, and a field forged under the added name. One
    # well-formed field, the filter's, the From read; but Sendmail hands a filter no field over
    # 64 KiB, and with F=T it defers such a message instead of delivering it unchecked.
    fields = [b"Received: from big (big" + b"\r\n\t\xe9xxxxxxx" * 20000 + b" [192.0.2.1]) by x",
              b"X-HDX-Identity: from=ceo@bank.example"] + [
        b"X-Filler-%d: \xe9\xff %d" % (i, i) for i in range(5000)] + [b"From: \xc3\xa9 " + ANN]
    if isinstance(mta, Sendmail):
        reply = send(mta.port, fields, "hostile")
        check(400 <= reply[0] < 500 and not wait_for(lambda: heads(mta.work, b"X-Case: hostile"), 3),
              "a field over 64 KiB under Sendmail: deferred", reply)
        return
    values = added(deliver(mta.port, mta.work, fields, "hostile"))
    check(len(values) == 1 and items(values[0])[b"from"] == b"ann@example.org" and all(
        re.fullmatch(rb"[ -~\t]{1,997}", x) for x in (b"X-HDX-Identity:" + values[0]).split(b"\n")),
        "5,000 fields after a 200 KB Received field: one well-formed field, the From read")


def postfix_own(mta, milter):
    # 200 SMTP sessions at once, each with a filter connection of its own: every message is
    # marked, the filter's peak memory stays small, and no log line is torn.
    flow(mta.port, 600, 200, "crowd@test.example").wait()
    crowd = arrived(mta.work, b"crowd@test.example", 600)
    status = pathlib.Path(f"/proc/{milter.process.pid}/status").read_text()
    peak_kib = int(re.search(r"VmHWM:\s*(\d+)", status).group(1))
    check(len(crowd) == 600 and all(map(added, crowd)) and peak_kib < 16384,
          f"200 sessions at once: {len(crowd)} delivered, peak RSS {peak_kib} KiB")
    whole = lambda log: all(re.fullmatch(rb'\{"queue_id":"[0-9A-F]*",.*"action":"\w+"\}', x)  # noqa: E731
                            for x in log.read_bytes().splitlines())
    # Log rotation while mail flows: every message has its line, whole, in the moved file or in
    # the new one.
    before = len(milter.log.read_bytes().splitlines())
    sending = flow(mta.port, 400, 10, "rotate@test.example")
    arrived(mta.work, b"rotate@test.example", 50)
    moved = milter.log.rename(milter.log.with_name("identity.log.1"))
    milter.process.send_signal(signal.SIGUSR1)
    sending.wait()
    rotated = len(arrived(mta.work, b"rotate@test.example", 400)) == 400 and milter.log.exists()
    check(rotated and whole(moved) and whole(milter.log) and
          len(moved.read_bytes().splitlines() + milter.log.read_bytes().splitlines()) == before + 400,
          "log rotation")


def held(mta, label):  # the message sent as label is in the MTA's quarantine
    where, mark = mta.quarantine
    return any(b"X-Case: " + label.encode() in t and mark in t for t in (
        f.read_bytes() for f in (mta.work / where).rglob("*") if f.is_file()))


def policy_rows(mta, apply, submit, log=None, auth=True):
    # The shared policy rows: each row's policy put in force by apply(), and its message sent by
    # submit() as from the row's client (with its login where auth says the host can claim one):
    # refused with the checks named where the row says reject, held in the MTA's quarantine where
    # it says quarantine, delivered where it says mark, its field naming the action and the
    # reason, and where the filter logs, its line saying the same. IPv6 clients are left out: the
    # throwaway MTAs listen on IPv4 alone.
    for n, m in enumerate(cases.policies()):
        peer, action, spared = (cases.value(m, k) for k in ("peer", "action", "spared"))
        claims_login = cases.value(m, "auth") == b"yes"
        if action.startswith(b"error") or b":" in peer or claims_login and not auth:
            continue
        apply(cases.value(m, "policy"))
        label = f"policy {n:02}"  # none the start of another, as held() looks for it
        code, text = submit(m, label)
        head = wait_for(lambda: (heads(mta.work, b"X-Case: " + label.encode()) or [None])[0],
                        20 if action == b"mark" else 0)
        field = items(added(head)[0]) if added(head) else {}
        want = b'"action":"%s"' % action + b',"spared":"%s"' % spared * bool(spared) + b"}"
        fate = {b"reject": lambda: code == 550 and re.search(rb"hdx: [a-z,-]+$", text),
                b"quarantine": lambda: code == 250 and wait_for(lambda: held(mta, label), 20),
                b"mark": lambda: (field.get(b"action"), field.get(b"spared", b"")) == (
                    b"mark", spared)}
        check(fate[action]() and (not log or wait_for(
            lambda: want in log.read_bytes().splitlines()[-1], 5)),
            f"policy: {cases.value(m, 'name').decode()}: {code} {text}", head)


def reload_in_session(mta, apply):
    # A new policy put in force while a client's session is open: the session goes on, and its
    # next message meets the new policy (the test's client is on loopback, trusted by default).
    two = message(b"two From fields")["field"]
    apply(b"reject = from-multiple\n")
    with smtplib.SMTP("127.0.0.1", mta.port, timeout=60) as s:
        s.ehlo("client.example")
        before = transact(s, two, "before the reload")[0]
        apply(b"reject = from-multiple\ntrusted-hosts =\n")
        after = transact(s, two, "after the reload")[0]
    check(before == 250 and after == 550, f"a reload in a session: {before}, then {after}")


def milter_policy(mta, milter, xclient):
    # The filter's policy read from its config file on SIGHUP; the rows' clients and logins
    # claimed with XCLIENT (Postfix), or the client's own address where Sendmail's test runs in a
    # network of its own that has them. Then reloads while smtp-source sends, a file with a
    # mistake and a new policy: no message lost or unmarked, and the old policy in force until
    # the good file.
    conf = milter.log.with_name("policy.conf")
    conf.write_text("")
    milter.stop()
    milter.start(options=["-c", conf])

    def apply(text):
        conf.write_bytes(text)
        milter.process.send_signal(signal.SIGHUP)
        time.sleep(0.3)

    def submit(m, label):
        peer = cases.value(m, "peer").decode()
        claim = dict(xclient=f"ADDR={peer}" + " LOGIN=ann" * (cases.value(m, "auth") == b"yes"))
        return send(mta.port, m["field"], label, cases.value(m, "mail"),
                    **(claim if xclient else dict(source=peer)))

    policy_rows(mta, apply, submit, milter.log, auth=xclient)
    reload_in_session(mta, apply)
    sending = flow(mta.port, 300, 10, "reload@test.example")
    arrived(mta.work, b"reload@test.example", 30)
    for text in ("rejct = from-multiple\n", "reject = from-multiple\ntrusted-hosts =\n"):
        conf.write_text(text)
        milter.process.send_signal(signal.SIGHUP)
        time.sleep(0.5)
    sending.wait()
    reloaded = arrived(mta.work, b"reload@test.example", 300)
    check(len(reloaded) == 300 and all(map(added, reloaded)),
          f"reloads under load: {len(reloaded)} of 300 delivered, each marked")
    apply(b"rejct = from-multiple\n")
    check(send(mta.port, message(b"two From fields")["field"], "kept")[0] == 550 and
          b"policy.conf:1: unknown key: rejct; the policy in force stays" in
          (milter.log.parent / "milter.out").read_bytes(), "a bad file keeps the policy in force")
    milter.stop()
    milter.start()


def exim_policy(mta, policy):
    # The rows through Exim, its policy file edited for each (it is read for every message), and
    # the client's address and login claimed as a trusted caller claims them for an SMTP session
    # on standard input.
    def submit(m, label):
        login = cases.value(m, "auth") == b"yes"
        claim = ["-oMa", cases.value(m, "peer")] + ["-oMai", b"ann"] * login
        fields = b"\r\n".join(m["field"] + [b"X-Case: " + label.encode()])
        smtp = b"EHLO client.example\r\nMAIL FROM:%s\r\nRCPT TO:<bob@test.example>\r\nDATA\r\n" \
            b"%s\r\n\r\nbody\r\n.\r\nQUIT\r\n" % (cases.value(m, "mail"), fields)
        out = sh(mta.binary, "-C", mta.conf, "-bs", *claim, input=smtp, capture_output=True).stdout
        code, text = re.findall(rb"^(\d{3}) (.*?)\r?$", out, re.M)[-2]  # to the message's end
        return int(code), text

    policy_rows(mta, policy.write_bytes, submit)
    reload_in_session(mta, policy.write_bytes)
    policy.write_text("")


def exim_own(mta, module):
    # A local submission goes through the non-SMTP ACL: no peer, and the caller's envelope.
    sh(mta.binary, "-C", mta.conf, "-bm", "bob@test.example",
       input=b"From: " + ANN + b"\nX-Case: local\n\nbody\n")
    head = wait_for(lambda: (heads(mta.work, b"X-Case: local") or [None])[0], 20)
    check(added(head) == [b" peer=; envelope-from=root@mx.hdx-test.example;\n\trcpt=bob@test."
                          b"example; from=ann@example.org; return-path=; received-ip=;\n\t"
                          b"checks=envelope-mismatch; action=mark"],
          "local submission", head)
    # The module gone, as when the package is removed and its ACL file kept: the message is
    # accepted and delivered without the field, forged ones still removed, and the main log
    # says why, once.
    module.unlink()
    head = deliver(mta.port, mta.work, message(b"forged")["field"], "module gone")
    warnings = (mta.work / "log/mainlog").read_bytes().count(b"the message goes unmarked")
    check(head and not added(head) and warnings == 1, f"module gone: {warnings} warnings", head)
    panics = mta.work / "log/paniclog"
    check(not panics.exists() or not panics.read_bytes(), "Exim's panic log")


def exim_acl(acl, module, work):  # the statements, naming MODULE, the libhdx it loads, WORK's policy
    library = re.search(rb"=> (\S*/libhdx\.so[.0-9]*)", sh("ldd", module, capture_output=True)
                        .stdout).group(1)
    text = re.sub(rb"[^{} \n]*/hdx-exim\.so", bytes(module), pathlib.Path(acl).read_bytes())
    text = re.sub(rb"[^{} \n]*/hdx-policy\.conf", bytes(work / "hdx-policy.conf"), text)
    return re.sub(rb"[^{} \n]*/libhdx\.so[.0-9]*", library, text)


def installed(work):
    # hdx-milter as its package installs it, with Debian's own Postfix as an administrator runs
    # it: the stock master.cf (smtpd and cleanup chrooted), Postfix started by its init script,
    # the filter started as its unit starts it (user, group, umask, directories, command line) on
    # the unix socket inside Postfix's queue directory, the package's header_checks table named
    # in main.cf, as the README says. After the forged fields, a forced logrotate, and the filter
    # stopped: the forged fields must not pass it.
    unit = pathlib.Path("/lib/systemd/system/hdx-milter.service").read_text()
    setting = lambda name: re.search(rf"^{name}=(.*)$", unit, re.M).group(1)  # noqa: E731
    sock, log = "/var/spool/postfix/hdx-milter/hdx-milter.sock", pathlib.Path(
        "/var/log/hdx-milter/identity.log")
    conf = pathlib.Path("/etc/hdx-milter.conf")  # its socket and log lines for Postfix taken
    conf.write_text(re.sub(rf"(?m)^socket = inet.*\n|^#(?=socket = unix:{sock}$|log = {log}$)", "",
                           conf.read_text()))
    fill("postfix/installed-main.cf", "/etc/postfix/main.cf", WORK=work, **IDS)
    for directory in (f"/run/{setting('RuntimeDirectory')}", log.parent):
        os.makedirs(directory, exist_ok=True)
        shutil.chown(directory, setting("User"), setting("Group"))
    milter = Filter("", work)
    milter.process = subprocess.Popen(
        ["setpriv", f"--reuid={setting('User')}", f"--regid={setting('Group')}", "--init-groups"] +
        shlex.split(setting("ExecStart")), preexec_fn=lambda: os.umask(int(setting("UMask"), 8)))
    try:
        if not check(wait_for(lambda: listening(sock)), f"the filter does not listen on {sock}") or \
                not check(sh("/etc/init.d/postfix", "start", capture_output=True).returncode == 0 and wait_for(
                    lambda: listening(25)), "Postfix did not start"):
            return
        head = deliver(25, work, message(b"forged")["field"], "forged")
        check(added(head) == [b" " + cases.value(message(b"forged"), "identity")] and
              log_line(log, head) == cases.value(message(b"forged"), "log"), "forged fields", head)
        sh("logrotate", "-f", "/etc/logrotate.d/hdx-milter")
        head = deliver(25, work, [], "after logrotate")
        check(log.with_name(log.name + ".1").stat().st_size and wait_for(lambda: log_line(log, head)),
              "after logrotate, the line is in the new log")
        milter.stop()
        head = deliver(25, work, message(b"forged")["field"], "filter stopped")
        check(head and not added(head), "filter stopped: forged fields delivered", head)
    finally:
        milter.stop()
        sh("/etc/init.d/postfix", "stop", capture_output=True)


def main(argv):
    kind, work = (argv[1], pathlib.Path(argv[-1]).resolve()) if len(argv) > 2 else ("", None)
    if len(argv) != {"postfix": 4, "sendmail": 4, "exim": 5, "installed": 3}.get(kind):
        sys.exit("usage: see the comment at the top of live.py")
    required = os.environ.get(f"HDX_REQUIRE_{kind.upper()}")
    missing = os.geteuid() != 0 and "a throwaway MTA needs root" or \
        kind in ("postfix", "sendmail") and not shutil.which("smtp-source") and \
        "smtp-source is not installed" or \
        kind == "sendmail" and not os.access(Sendmail.binary, os.X_OK) and "no Sendmail binary" or \
        kind == "exim" and b"Expand_dlfunc" not in sh(Exim.binary, "-C", "/dev/null", "-bV",
                                                      capture_output=True).stdout and \
        f"no Exim binary with ${{dlfunc}} at {Exim.binary}"
    if missing:
        print(f"{'FAIL: ' if required else ''}skipped: {missing} (bash .ci/setup)")
        return 1 if required else 77
    if kind == "sendmail" and "HDX_OWN_NETWORK" not in os.environ:
        # Sendmail lets no client claim another address: the run goes on in a network of its own
        # whose loopback interface has the policy rows' client addresses, and connects from each.
        os.environ["HDX_OWN_NETWORK"] = "1"
        os.execvp("unshare", ["unshare", "--net", sys.executable, *argv])
    if "HDX_OWN_NETWORK" in os.environ:
        sh("ip", "link", "set", "lo", "up")
        for peer in {cases.value(m, "peer").decode() for m in cases.policies()} - {"127.0.0.1"}:
            sh("ip", "addr", "add", peer, "dev", "lo")
    shutil.rmtree(work, ignore_errors=True)
    (work / "mail").mkdir(parents=True)
    work.chmod(0o755)
    shutil.chown(work / "mail", "nobody", "nogroup")
    if kind == "installed":
        saved = {p: p.read_bytes() for p in map(pathlib.Path, ["/etc/hdx-milter.conf",
                                                             "/etc/postfix/main.cf"]) if p.exists()}
        try:
            installed(work)
        finally:
            for path, text in saved.items():
                path.write_bytes(text)
        return finish()
    if kind == "exim":
        module = work / "hdx-exim.so"
        shutil.copy(argv[2], module)
        (work / "hdx.acl").write_bytes(exim_acl(argv[3], module, work))
        (work / "hdx-policy.conf").write_text("")  # as the package installs it: acting on nothing
        mta, milter = Exim(work, work / "hdx.acl"), None
    else:
        milter = Filter(argv[2], work)
        mta = (Postfix if kind == "postfix" else Sendmail)(work, milter)
    try:
        if check((not milter or milter.start()) and mta.start(), f"{kind} and the host started"):
            message_cases(mta, milter and milter.log)
            hostile_message(mta)
            if kind == "postfix":
                postfix_own(mta, milter)
            if kind == "exim":
                exim_policy(mta, work / "hdx-policy.conf")
                exim_own(mta, module)
            else:
                milter_policy(mta, milter, xclient=kind == "postfix")
    finally:
        if milter:
            milter.stop()
        mta.stop()
    return finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
