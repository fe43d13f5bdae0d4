#!/usr/bin/env python3
"""The hosts inside real MTAs, each a throwaway instance of its own on loopback: hdx-milter under
Postfix or Sendmail, hdx-exim under Exim. Every shared message sent from 127.0.0.1 goes in over
SMTP and must come out with exactly one field of the added name, holding the message's value, and,
through the filter, with the message's log line; hostile headers must leave a well-formed field;
then each MTA shows what is its own. Everything started is stopped, whatever happens.

Usage: live.py postfix|sendmail FILTER WORK
       live.py exim MODULE ACL HDX WORK   (ACL: the statements as the build or package writes them)
Needs root and the MTA (installed, or unpacked by .ci/unpack-mta); without them it exits 77
(skipped), unless HDX_REQUIRE_POSTFIX, HDX_REQUIRE_SENDMAIL or HDX_REQUIRE_EXIM is set."""

import grp
import os
import pathlib
import pwd
import re
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


class Run:
    """Counts checks, and says what failed."""

    def __init__(self):
        self.passed = self.failed = 0

    def check(self, ok, what, detail=""):
        self.passed += bool(ok)
        self.failed += not ok
        if not ok:
            print(f"FAIL {what}" + (f"\n{detail}" if detail else ""), flush=True)
        return ok

    def finish(self):
        print(f"{self.passed} passed, {self.failed} failed")
        return 1 if self.failed else 0


def skip(mta, why):
    required = os.environ.get(f"HDX_REQUIRE_{mta.upper()}")
    print(f"{'FAIL: ' if required else ''}skipped: {why}")
    sys.exit(1 if required else 77)


def fill(template, out, **names):
    """TEMPLATE (beside this file) with every @NAME@ replaced, written to OUT."""
    text = (HERE / template).read_text()
    for name, value in names.items():
        text = text.replace(f"@{name}@", str(value))
    pathlib.Path(out).write_text(text)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(ready, seconds=5.0):
    end = time.monotonic() + seconds
    while not ready():
        if time.monotonic() > end:
            return False
        time.sleep(0.1)
    return True


def listening(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def sh(*command, **kw):
    return subprocess.run([c if isinstance(c, bytes) else str(c) for c in command], check=False,
                          **kw)


def send(port, mail, rcpts, message):
    """One SMTP session: the envelope as given, then MESSAGE; the last reply."""
    with smtplib.SMTP("127.0.0.1", port, timeout=60) as s:
        s.ehlo("client.example")
        for command in [b"MAIL FROM:" + mail] + [b"RCPT TO:" + r for r in rcpts]:
            reply = s.docmd(command.decode("utf-8", "surrogateescape"))
            if reply[0] != 250:
                return reply
        return s.data(message)


def flow(port, count, sessions, rcpt):
    """smtp-source sending COUNT messages to RCPT over SESSIONS sessions, in the background."""
    return subprocess.Popen(["smtp-source", "-c", "-m", str(count), "-s", str(sessions), "-f",
                             "ann@example.org", "-t", rcpt, f"127.0.0.1:{port}"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Inbox:
    """The Maildir every recipient in test.example is delivered to: header sections."""

    def __init__(self, work):
        self.new = pathlib.Path(work) / "mail" / "inbox" / "new"

    def heads(self):
        return [f.read_bytes().split(b"\n\n", 1)[0] for f in sorted(self.new.glob("*"))]

    def find(self, line, seconds=20):
        """The header section holding LINE, once delivered; None after SECONDS."""
        found = []
        wait_for(lambda: found.extend(h for h in self.heads() if line in h.split(b"\n")) or found,
                 seconds)
        return found[0] if found else None

    def arrived(self, rcpt, count, seconds=60):
        """The header sections to RCPT, once COUNT are there or SECONDS have passed."""
        to = b"To: <%s>" % rcpt.encode()
        mine = lambda: [h for h in self.heads() if to in h.split(b"\n")]  # noqa: E731
        wait_for(lambda: len(mine()) >= count, seconds)
        return mine()


def added(head):
    """The values of the fields of the added name in a header section, continuation lines kept."""
    return [m.group(1) for m in ADDED.finditer(head)]


def well_formed(head):
    """One added field, of printable ASCII in lines shorter than 998 bytes."""
    values = added(head)
    return len(values) == 1 and all(re.fullmatch(rb"[ -~\t]{1,997}", line)
                                    for line in (b"X-HDX-Identity:" + values[0]).split(b"\n"))


def items(value):
    """The added field's items, unfolded: name -> value."""
    flat = value.strip().replace(b";\n\t", b"; ").replace(b",\n\t", b",")
    return dict(item.split(b"=", 1) for item in flat.split(b"; "))


def marker(label):
    """The line that tells a message sent by the test among those delivered."""
    return b"X-Case: " + str(label).encode()


def log_line(log, head):
    """The log line of a delivered message, found by the queue id the MTA gave it, with QID in
    its place."""
    qid = re.search(rb" with E?SMTP id ([0-9A-Za-z]+)", head)
    key = b'"queue_id":"%s"' % (qid.group(1) if qid else b"?")
    lines = [line for line in log.read_bytes().split(b"\n") if key in line] if log.exists() else []
    return lines[0].replace(key, b'"queue_id":"QID"') if lines else None


class Mta:
    """What every MTA's instance has: a work directory, its port, and the messages it delivers."""

    name = ""
    def __init__(self, work):
        self.work = pathlib.Path(work)
        shutil.rmtree(self.work, ignore_errors=True)
        (self.work / "mail").mkdir(parents=True)
        shutil.chown(self.work / "mail", "nobody", "nogroup")
        self.port = free_port()
        self.inbox = Inbox(self.work)

    def same_identity(self, got, want):
        return got == b" " + want


class Filter:
    """hdx-milter in the foreground on its loopback port or a unix socket, logging."""

    def __init__(self, binary, work, port):
        self.binary, self.work, self.port = binary, pathlib.Path(work), port
        self.log, self.process = self.work / "identity.log", None

    def start(self, socket_name=None):
        where = socket_name or f"inet:{self.port}@127.0.0.1"
        out = open(self.work / "milter.out", "ab")
        self.process = subprocess.Popen([self.binary, "--foreground", "-p", where, "--log",
                                         self.log], stdout=out, stderr=out)
        path = where[len("unix:"):]
        # A unix socket listens once /proc names it: the file may be one that a crash left behind.
        return wait_for(lambda: f" {path}\n" in pathlib.Path("/proc/net/unix").read_text()
                        if where.startswith("unix:") else listening(self.port))

    def stop(self, run):
        if self.process:
            self.process.terminate()
            run.check(self.process.wait() == 0, "hdx-milter: exit status after SIGTERM")
            self.process = None

    def kill(self):
        self.process.kill()
        self.process.wait()
        self.process = None

class Postfix(Mta):
    name = "postfix"

    def __init__(self, work, milter_port):
        super().__init__(work)
        self.etc = self.work / "etc"
        for d in ("etc", "queue", "data"):
            (self.work / d).mkdir()
        shutil.chown(self.work / "data", "postfix")
        fill("postfix/main.cf", self.etc / "main.cf", WORK=self.work, MILTER_PORT=milter_port,
             NOBODY_UID=pwd.getpwnam("nobody").pw_uid, NOGROUP_GID=grp.getgrnam("nogroup").gr_gid)
        fill("postfix/master.cf", self.etc / "master.cf", SMTP_PORT=self.port)

    def start(self):
        self.postfix("start")
        return wait_for(lambda: listening(self.port))

    def stop(self):
        self.postfix("stop")
        wait_for(lambda: self.postfix("status").returncode != 0, 10)

    def postfix(self, *args):
        with open(self.work / "postfix.out", "ab") as out:
            return sh("postfix", "-c", self.etc, *args, stdout=out, stderr=out)


class Sendmail(Mta):
    name = "sendmail"
    root = pathlib.Path(os.environ.get("HDX_SENDMAIL_ROOT") or (
        "/" if os.access("/usr/libexec/sendmail/sendmail", os.X_OK) else "/opt/sendmail"))
    binary = root / "usr/libexec/sendmail/sendmail"

    def __init__(self, work, milter_port):
        super().__init__(work)
        inbox = self.work / "mail" / "inbox"
        for d in ("tmp", "new", "cur"):
            (inbox / d).mkdir(parents=True)
        sh("chown", "-R", "nobody:nogroup", self.work / "mail")
        (self.work / "mqueue").mkdir(mode=0o700)
        (self.work / "service.switch").write_text("hosts files\naliases files\n")
        (self.work / "hosts").write_text("127.0.0.1 mx.hdx-test.example localhost\n"
                                         "::1 mx.hdx-test.example localhost\n")
        (self.work / "statistics").write_text("")
        # Each message into the Maildir as Maildir readers expect: written under tmp/, then moved.
        (self.work / "deliver.sh").write_text(
            '#!/bin/sh\nname=$(date +%s.%N).$$\n'
            f'cat >"{inbox}/tmp/$name" && mv "{inbox}/tmp/$name" "{inbox}/new/$name"\n')
        fill("sendmail.mc", self.work / "sendmail.mc", CF=self.root / "usr/share/sendmail/cf",
             WORK=self.work, SMTP_PORT=self.port, MILTER_PORT=milter_port)
        with open(self.work / "sendmail.cf", "wb") as cf:
            sh("m4", self.work / "sendmail.mc", stdout=cf)

    def start(self):
        # Sendmail looks its own host name up at start, and sleeps a minute where that fails, as
        # it does where the machine's name is in no hosts file and no DNS answers. So it runs in
        # namespaces of its own: its host name is the test's, and /etc/hosts, for it alone, names it.
        out = open(self.work / "sendmail.out", "ab")
        self.process = subprocess.Popen(
            ["unshare", "--mount", "--uts", "sh", "-c",
             'mount --bind "$1" /etc/hosts && hostname mx.hdx-test.example && exec "$2" -C "$3" -bD',
             "sh", self.work / "hosts", self.binary, self.work / "sendmail.cf"],
            stdout=out, stderr=out)
        return wait_for(lambda: listening(self.port))

    def stop(self):
        # Every process in its mount namespace goes, so that nothing is left running.
        try:
            namespace = os.readlink(f"/proc/{self.process.pid}/ns/mnt")
        except OSError:
            namespace = None
        self.process.terminate()
        self.process.wait()
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.readlink(f"/proc/{pid}/ns/mnt") == namespace:
                    os.kill(int(pid), signal.SIGKILL)
            except OSError:
                pass


class Exim(Mta):
    name = "exim"
    binary = shutil.which("exim4") or "/opt/exim4-heavy/usr/sbin/exim4"
    trusted = pathlib.Path("/etc/exim4/trusted_configs")

    def __init__(self, work, acl):
        super().__init__(work)
        for d in ("spool", "log"):
            (self.work / d).mkdir()
            shutil.chown(self.work / d, "Debian-exim", "Debian-exim")
        self.conf = self.work / "exim.conf"
        fill("exim.conf", self.conf, EXIM=self.binary, WORK=self.work, PORT=self.port, ACL=acl)
        # Exim gives up root for a configuration named with -C unless the trusted list names it;
        # then its deliveries could not become the mailbox's user.
        self.made_directory = not self.trusted.parent.exists()
        self.trusted.parent.mkdir(parents=True, exist_ok=True)
        self.set_trusted(self.trusted_list() + [str(self.conf)])

    def trusted_list(self):
        return self.trusted.read_text().split("\n")[:-1] if self.trusted.exists() else []

    def set_trusted(self, lines):
        self.trusted.write_text("".join(f"{line}\n" for line in lines))
        self.trusted.chmod(0o644)

    def start(self):
        out = open(self.work / "exim.out", "ab")
        self.process = subprocess.Popen([self.binary, "-C", self.conf, "-bdf"], stdout=out,
                                        stderr=out)
        return wait_for(lambda: listening(self.port))

    def stop(self):
        # The daemon, then every process of this instance, and its configuration off the list.
        self.process.terminate()
        self.process.wait()
        mine = ["-f", "--", f"-C {self.conf}"]
        wait_for(lambda: sh("pgrep", *mine, stdout=subprocess.DEVNULL).returncode != 0, 10)
        sh("pkill", "-KILL", *mine)
        self.set_trusted([line for line in self.trusted_list() if line != str(self.conf)])
        if not self.trusted_list():
            self.trusted.unlink()
            if self.made_directory:
                self.trusted.parent.rmdir()

    def expand(self, text):
        return sh(self.binary, "-C", self.conf, "-be", text, capture_output=True).stdout

    def same_identity(self, got, want):
        # Exim hands the module its own Received field first; without a host name it names no
        # address ("from [127.0.0.1] (helo=...)"), so an empty entry comes before the others. It
        # drops the Return-Path fields that a message comes with, as final delivery adds its own.
        want = items(want)
        want[b"received-ip"] = b"," + want[b"received-ip"] if want[b"received-ip"] else b""
        want[b"return-path"] = b""
        return items(got) == want


def message_cases(run, mta, milter=None):
    """Every shared message sent from 127.0.0.1: one added field, the message's, and through the
    filter its log line."""
    for n, case in enumerate(cases.messages()):
        if cases.value(case, "peer") != b"127.0.0.1":
            continue
        name = cases.value(case, "name").decode()
        message = b"\r\n".join(case["field"] + [marker(n)]) + b"\r\n\r\nbody\r\n"
        reply = send(mta.port, cases.value(case, "mail"), case["rcpt"], message)
        head = mta.inbox.find(marker(n))
        if not run.check(head, f"{name}: not delivered", reply):
            continue
        got = added(head)
        run.check(len(got) == 1 and mta.same_identity(got[0], cases.value(case, "identity")),
                  f"{name}: the added field", head.decode(errors="replace"))
        if milter:
            logged = log_line(milter.log, head)
            run.check(logged == cases.value(case, "log"), f"{name}: the log line", logged)


def hostile_messages(mta):
    """Send headers that no host may choke on; their header sections as delivered: 90 KB of
    nested comments in From, and 5,000 fields after a folded Received field of 200 KB, over the
    cap, with 8-bit bytes in every field."""
    nested = b"From: " + (b"(" * 70 + b"\r\n ") * 643 + (b")" * 70 + b"\r\n ") * 643 + b"<ann@example.org>"
    many = [b"Received: from big.example (big.example" + b"\r\n\t\xe9xxxxxxx" * 20000 +
            b" [192.0.2.1]) by x"] + [b"X-Filler-%d: \xe9\xff %d" % (i, i) for i in range(5000)]
    heads = []
    for n, fields in enumerate([[nested], many + [b"From: \xc3\xa9 <ann@example.org>"]]):
        send(mta.port, b"<ann@example.org>", [b"<bob@test.example>"],
             b"\r\n".join(fields + [marker(1000 + n)]) + b"\r\n\r\nbody\r\n")
        heads.append(mta.inbox.find(marker(1000 + n)))
    return heads


def plain(mta, label):
    """A plain message, delivered; its header section."""
    send(mta.port, b"<ann@example.org>", [b"<bob@test.example>"],
         b"From: <ann@example.org>\r\n" + marker(label) + b"\r\n\r\nbody\r\n")
    return mta.inbox.find(marker(label)) or b""


def whole_lines(log):
    """Every line of the log is one whole record."""
    return all(re.fullmatch(rb'\{"queue_id":"[0-9A-F]*",.*\]\}', line)
               for line in log.read_bytes().splitlines())


def postfix_own(run, mta, milter):
    """Postfix's own checks: load, log rotation, clients and a filter that go away, a unix socket."""
    # 200 SMTP sessions at once, each with a filter connection of its own: every message is
    # marked, the filter's peak memory stays small, and no log line is torn.
    flow(mta.port, 600, 200, "crowd@test.example").wait()
    crowd = mta.inbox.arrived("crowd@test.example", 600)
    unmarked = sum(not added(h) for h in crowd)
    status = pathlib.Path(f"/proc/{milter.process.pid}/status").read_text()
    peak_kib = int(re.search(r"VmHWM:\s*(\d+)", status).group(1))
    run.check(len(crowd) == 600 and unmarked == 0 and peak_kib < 16384,
              f"200 sessions at once: {len(crowd)} delivered, {unmarked} unmarked, peak RSS "
              f"{peak_kib} KiB")
    run.check(whole_lines(milter.log), "log: a line is not one whole record")

    # Log rotation while mail flows: the log is moved away and the filter told to reopen it.
    # Every message has its line, whole, in the moved file or in the new one.
    before = len(milter.log.read_bytes().splitlines())
    sending = flow(mta.port, 400, 10, "rotate@test.example")
    mta.inbox.arrived("rotate@test.example", 50)
    moved = milter.log.rename(milter.log.with_name("identity.log.1"))
    milter.process.send_signal(signal.SIGUSR1)
    sending.wait()
    arrived = len(mta.inbox.arrived("rotate@test.example", 400))
    both = [len(f.read_bytes().splitlines()) for f in (moved, milter.log) if f.exists()]
    run.check(arrived == 400 and len(both) == 2 and sum(both) == before + 400 and
              whole_lines(moved) and whole_lines(milter.log), f"log rotation: {arrived}, {both}")

    # A client that drops the connection in the middle of DATA: the filter stays up and marks
    # the next message.
    with socket.create_connection(("127.0.0.1", mta.port)) as client:
        client.sendall(b"EHLO client.example\r\nMAIL FROM:<ann@example.org>\r\n"
                       b"RCPT TO:<bob@test.example>\r\nDATA\r\n")
        time.sleep(0.5)
        client.sendall(b"From: <ann@example.org>\r\nSubject: dropped\r\nX-Part: ")
        time.sleep(0.5)
    run.check(added(plain(mta, "after a dropped client")) and milter.process.poll() is None,
              "a client dropped in the middle of DATA")

    # The filter killed outright while 500 messages flow over 10 sessions: every one is
    # delivered, and once it is started again it marks mail again.
    sending = flow(mta.port, 500, 10, "crash@test.example")
    mta.inbox.arrived("crash@test.example", 50)
    milter.kill()
    sending.wait()
    run.check(len(mta.inbox.arrived("crash@test.example", 500)) == 500,
              "mail lost while the filter was killed")
    run.check(not added(plain(mta, "filter stopped")), "filter stopped: marked")
    milter.start()
    run.check(added(plain(mta, "filter restarted")), "filter restarted: not marked")

    # A unix socket in a directory of Postfix's group, set-group-ID so that the socket gets that
    # group: the socket is 0660, so Postfix reaches it and nobody else does, and the socket file
    # that a crash leaves behind does not stop the next start.
    milter.stop(run)
    directory = mta.work / "filter"
    directory.mkdir()
    os.chown(directory, -1, grp.getgrnam("postfix").gr_gid)
    directory.chmod(0o2750)
    where = f"unix:{directory}/hdx-milter.sock"
    milter.start(where)
    milter.kill()
    run.check(milter.start(where), "the filter does not start over a socket left behind")
    sh("postconf", "-c", mta.etc, "-e", f"smtpd_milters = {where}")
    mta.postfix("reload")
    time.sleep(1)
    socket_file = (directory / "hdx-milter.sock").stat()
    run.check(socket_file.st_mode & 0o777 == 0o660 and socket_file.st_gid == directory.stat().st_gid
              and added(plain(mta, "unix socket")), "unix socket")


NAMES = {"from": b"From:", "return-path": b"Return-Path:", "received": b"Received:"}
FUNCTIONS = {"from": "from", "return-path": "return_path", "received": "received_ip", "path": "path"}


def exim_argument(kind, given):
    """What a one-value function takes for a shared field row, where Exim would hand back that
    same field: its value as $rh_NAME: gives it (folds written LF), for a whole field of the name
    that ends in CR LF; the command, for one without a line end. None for other rows."""
    if kind == "path":
        return None if re.search(rb"[\r\n\0]", given) else given
    value = given[len(NAMES[kind]):-2]
    if (not given.startswith(NAMES[kind]) or not given.endswith(b"\r\n") or
            re.search(rb"\r(?!\n[ \t])|(?<!\r)\n|\0", value)):
        return None
    return value.replace(b"\r\n", b"\n")


def exim_own(run, mta, module, many):
    """Exim's own checks: the 200 KB field's entry after Exim's own, a local submission, the
    one-value functions on the shared rows, and mail flowing unmarked once the module is gone."""
    run.check(many and items(added(many)[0])[b"received-ip"] == b",",
              "5,000 fields: Exim's entry and the 200 KB field's, both empty")
    sh(mta.binary, "-C", mta.conf, "-bm", "bob@test.example",
       input=b"From: <ann@example.org>\n" + marker("local") + b"\n\nbody\n")
    head = mta.inbox.find(marker("local"))
    run.check(head and added(head) == [b" peer=; envelope-from=root@mx.hdx-test.example;\n\t"
                                       b"rcpt=bob@test.example; from=ann@example.org; "
                                       b"return-path=; received-ip="],
              "a local submission, through the non-SMTP ACL", head)

    for kind, name, given, want, _ in cases.fields():
        argument = exim_argument(kind, given)
        if argument is not None:
            literal = re.sub(rb"[\\${}]", rb"\\\g<0>", argument)
            got = mta.expand(b"${dlfunc{%s}{%s}{%s}}" % (str(module).encode(),
                                                        FUNCTIONS[kind].encode(), literal))
            run.check(got == (want or b"") + b"\n", f"{FUNCTIONS[kind]}: {name}: {got!r}")

    # The module gone, as when the package is removed and its ACL file kept: the message is
    # accepted and delivered without the field, forged ones still removed, and the main log
    # says why, once.
    module.unlink()
    forged = next(c for c in cases.messages() if b"forged" in cases.value(c, "name"))
    send(mta.port, b"<ann@example.org>", [b"<bob@test.example>"],
         b"\r\n".join(forged["field"] + [marker("module gone")]) + b"\r\n\r\nbody\r\n")
    head = mta.inbox.find(marker("module gone"))
    warnings = (mta.work / "log" / "mainlog").read_bytes().count(b"the message goes unmarked")
    run.check(head is not None and not added(head) and warnings == 1,
              f"module gone: delivered {head is not None}, warnings {warnings}", head)
    panics = mta.work / "log" / "paniclog"
    run.check(not panics.exists() or not panics.read_bytes(), "Exim's panic log",
              panics.exists() and panics.read_text(errors="replace"))


def exim_acl(acl, module):
    """The package's statements, naming MODULE and the libhdx it loads instead of their
    installed paths."""
    loads = sh("ldd", module, capture_output=True).stdout
    library = re.search(rb"=> (\S*/libhdx\.so[.0-9]*)", loads).group(1)
    text = re.sub(rb"[^{} \n]*/hdx-exim\.so", str(module).encode(), pathlib.Path(acl).read_bytes())
    return re.sub(rb"[^{} \n]*/libhdx\.so[.0-9]*", library, text)


def main(argv):
    name = argv[1] if len(argv) > 1 else ""
    if name not in ("postfix", "sendmail", "exim") or len(argv) != (5 if name == "exim" else 4):
        print(__doc__)
        return 2
    if os.geteuid() != 0:
        skip(name, "a throwaway MTA needs root")
    if not shutil.which("smtp-source") and name == "postfix":
        skip(name, "smtp-source is not installed (bash .ci/setup installs postfix)")
    run = Run()
    if name == "exim":
        module, acl, work = argv[2:]
        if not os.access(Exim.binary, os.X_OK):
            skip(name, "no Exim binary (bash .ci/setup unpacks Debian's)")
        if b"Expand_dlfunc" not in sh(Exim.binary, "-C", "/dev/null", "-bV",
                                      capture_output=True).stdout:
            skip(name, f"{Exim.binary} has no ${{dlfunc}}")
        mta = Exim(work, pathlib.Path(work) / "hdx.acl")
        copy = mta.work / "hdx-exim.so"
        shutil.copy(module, copy)
        (mta.work / "hdx.acl").write_bytes(exim_acl(acl, copy))
        milter = None
    else:
        binary, work = argv[2:]
        if name == "sendmail" and not os.access(Sendmail.binary, os.X_OK):
            skip(name, "no Sendmail binary (bash .ci/setup unpacks Debian's)")
        port = free_port()
        mta = (Postfix if name == "postfix" else Sendmail)(work, port)
        milter = Filter(binary, mta.work, port)
    try:
        if milter and not milter.start():
            run.check(False, "hdx-milter did not start", (mta.work / "milter.out").read_text())
        elif not mta.start():
            run.check(False, f"{name} did not start")
        else:
            message_cases(run, mta, milter)
            nested, many = hostile_messages(mta)
            if name == "sendmail":
                # Sendmail shows a filter no message with a field over 64 KiB, whichever engine
                # the filter runs on: both go on unmarked.
                run.check(nested and many and not added(nested) and not added(many),
                          "fields over 64 KiB under Sendmail: marked")
            else:
                run.check(nested and well_formed(nested), "90 KB of nested comments")
                run.check(many and well_formed(many) and
                          items(added(many)[0])[b"from"] == b"ann@example.org",
                          "5,000 fields after a 200 KB Received field")
            if name == "postfix":
                postfix_own(run, mta, milter)
            if name == "exim":
                exim_own(run, mta, copy, many)
    finally:
        if milter:
            milter.stop(run)
        mta.stop()
    return run.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
