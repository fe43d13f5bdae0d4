#!/usr/bin/env python3
# End-to-end tests of the hdx command: the sample mailbox, malformed input, the shared field rows
# and messages, and the exit statuses.
# Usage: cli_test.py HDX [EMULATOR...]   (paths in the output are relative to the repository)
import json
import pathlib
import re
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "cases"))
import cases  # noqa: E402

HDX = sys.argv[2:] + [str(pathlib.Path(sys.argv[1]).resolve())]
FAILED = []
SAMPLE = (ROOT / "tests/cli/sample.tsv").read_bytes()


def run(name, *args, status=0, want=None, stdin=b""):  # hdx's output and errors, as text
    r = subprocess.run(HDX + [str(a) for a in args], input=stdin, capture_output=True, cwd=ROOT)
    if r.returncode != status or want is not None and r.stdout != want:
        FAILED.append(f"{name}: status {r.returncode}, want {status}\n{r.stdout[:2000]}\n{r.stderr}")
    return r.stdout.decode("utf-8", "replace"), r.stderr.decode("utf-8", "replace")


def expect(name, pattern, text):  # a line of the text matches
    if not re.search(pattern, text, re.M):
        FAILED.append(f"{name}: no /{pattern}/ in\n{text[:2000]}")


def scan_one(work, name, content, want, **kw):  # one file scanned: its line, path first
    path = work / name
    path.write_bytes(content)
    return run(name, "scan", path, want=f"{path}\t{want}\n".encode(), **kw)


def main(work):
    _, err = run("scan sample tsv", "scan", "examples/sample.mbox", want=SAMPLE)
    expect("scan summary", r"^hdx: 7 messages, 21 fields, 6 failed; checks: from-missing 0, .*, "
           r"from-display-address 1, envelope-mismatch 0$", err)
    out, _ = run("checks column", "scan", "--checks", "examples/sample.mbox")
    expect("checks column", r"^examples/sample.mbox#7\t+from-unreadable$", out)
    run("scan sample json", "scan", "--json", "examples/sample.mbox",
        want=(ROOT / "tests/cli/sample.jsonl").read_bytes())

    scan_one(work, "truncated", b"From: A <ab@cd>\r\nReceived: from x (y [192.0.2.1", "ab@cd\t\t")
    (work / "garbage").write_bytes(bytes(i * 37 % 256 for i in range(4096)))
    expect("garbage is one message", r"^hdx: 1 messages", run("garbage", "scan", work / "garbage")[1])
    filler = lambda n: b"".join(b"X-Filler-%d: %0100d\n" % (i, 0) for i in range(1, n + 1))  # noqa: E731
    scan_one(work, "no_end", filler(3000) + b"Received: from a (b [192.0.2.7])\n", "\t\t192.0.2.7")
    _, err = scan_one(work, "overlong", filler(12000) + b"From: <late@example.org>\n\n", "\t\t")
    expect("cap reported", "header sections cut at 1 MiB", err)

    for box in ("cur", "new"):
        (work / "maildir" / box).mkdir(parents=True)
    (work / "maildir/new/1").write_bytes(b"From: <ab@cd>\n\nbody\n")
    (work / "maildir/cur/2").write_bytes(b"Return-Path: <ef@gh>\n\n")
    run("maildir", "scan", work / "maildir",
        want=f"{work}/maildir/cur/2\t\tef@gh\t\n{work}/maildir/new/1\tab@cd\t\t\n".encode())

    # A mailbox large enough to be cut into parts: every worker count gives what the stream
    # reader (standard input) does.
    large, empty = work / "large.mbox", work / "empty"
    sample = (ROOT / "examples/sample.mbox").read_bytes()
    large.write_bytes((sample + b"\n" + (b"0" * 70 + b"\n") * 3500 + b"\n") * 40)
    empty.write_bytes(b"")  # adds nothing, though it cannot be mapped
    stream, _ = run("parts, the stream", "scan", stdin=large.read_bytes())
    want = stream.replace("-#", f"{large}#").encode()
    run("parts, one worker", "scan", "-j", "1", large, want=want)
    run("parts, three workers", "scan", "-j3", large, empty, want=want)
    run("workers must be counted", "scan", "-j", "0", "examples/sample.mbox", status=2, want=b"")

    _, err = run("unreadable file", "scan", work / "missing", "examples/sample.mbox", status=2,
                 want=SAMPLE)
    expect("unreadable named", "missing: No such file", err)
    for usage in ([], ["frobnicate"], ["scan", "--bogus"], ["field", "sender"]):
        run(f"usage: {usage}", *usage, status=2, want=b"")
    expect("help", r"^usage: hdx scan", run("help", "--help")[0])
    expect("version", r"^hdx [0-9]+\.[0-9]+\.[0-9]+$", run("version", "--version")[0])

    # The shared field rows through hdx field: what it prints, or status 1 where nothing is read.
    # It drops a command's line end, as hosts hand commands over without one: rows with one are
    # left to the library's tests, and the terminators after them check the dropping.
    for kind, name, given, result, _ in cases.fields():
        if kind != "path" or not given.endswith(b"\n"):
            run(f"field {kind}: {name}", "field", kind, stdin=given, status=int(result is None),
                want=b"" if result is None else result + b"\n")
    for eol in (b"", b"\n", b"\r\n"):
        run(f"path ending {eol}", "field", "path", stdin=b"MAIL FROM:a@b" + eol, want=b"a@b\n")

    # The shared messages as a mailbox, each after the Return-Path field that final delivery
    # writes: hdx scan reads each as the filter does, its checks included, the Return-Path its
    # envelope.
    messages = cases.messages()
    out, _ = run("shared messages", "scan", "--json", stdin=b"".join(
        b"From MAILER-DAEMON Thu Jan  1 00:00:00 2026\nReturn-Path: " + cases.value(m, "mail") +
        b"\n" + b"\n".join(f.replace(b"\r\n", b"\n") for f in m["field"]) + b"\n\nbody\n\n"
        for m in messages))
    for m, line in zip(messages, out.splitlines() + ["{}"] * len(messages)):
        record, want = json.loads(line), json.loads(cases.value(m, "log") or b"{}")
        want["checks"] = [c for c in cases.value(m, "checks").decode().split(",") if c]
        # What both read alike: the log's return_path is the field's, the scan's the envelope's.
        keys = ["checks"] + (["from", "received"] if "log" in m else [])
        if [record.get(k, "missing") for k in keys] != [want[k] for k in keys]:
            FAILED.append(f"shared message {cases.value(m, 'name')}: {line}")

    # The shared policy rows, each message after a topmost Received field that names its client,
    # with ESMTPA where it logged in: hdx scan --policy takes the row's action, or stops at the
    # row's mistake.
    policy = work / "policy"
    for m in cases.policies():
        name, action, spared = (cases.value(m, k).decode() for k in ("name", "action", "spared"))
        policy.write_bytes(cases.value(m, "policy"))
        out, err = run(f"policy: {name}", "scan", "--json", "--policy", policy,
                       status=2 * action.startswith("error:"), stdin=b"".join(m["mailbox"]) + b"\n")
        got = json.loads(out or "{}")
        if action.startswith("error:"):
            expect(f"policy: {name}", re.escape(action[7:].replace("policy", str(policy))), err)
        elif [got.get("action", "").split(":")[0], got.get("spared") or ""] != [action, spared]:
            FAILED.append(f"policy: {name}: {out}")

    out, _ = run("smtp transcript", "smtp", "tests/cli/smtp.txt")
    for pattern in (r"^tests/cli/smtp.txt\t4\tMAIL\tann@example.org$",
                    r"^tests/cli/smtp.txt\t8\tMAIL\t$", r"\tMAIL\tcarol@example.edu$"):
        expect("smtp", pattern, out)
    expect("date", r"^[A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} "
           r"[-+][0-9]{4}$", run("date", "date")[0])


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as directory:
        main(pathlib.Path(directory))
    print(*FAILED, f"{len(FAILED)} failed", sep="\n")
    sys.exit(1 if FAILED else 0)
