"""examples/cluster_scan.py on a local cluster of two worker processes, on loopback: its records
must be hdx scan's, byte for byte, sender checks and a policy's actions included, on the same mbox
files and Maildir."""

import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]


def message(n):
    # Sizes that put the slices' edges at every kind of place; CR LF line ends in every third; a
    # body line that starts "From " after no blank line, so no new message.
    text = (b"Return-Path: <bounce-%d@lists.example.com>\nReceived: from mx%d.example.net (mx%d.example"
            b".net\n [192.0.2.%d])\n\tby mail.example.org; Fri, 04 Dec 2026 02:26:18 +0000\nReceived: "
            b'by localhost\nFrom: "Sender %d, Example" <sender%d@example.org> (comment)\nX-Long: %s\n'
            b"\nbody %d\nFrom the desk of a sender\n\n" % (n, n % 7, n % 7, n % 250, n, n,
                                                            b"y" * (n * 701 % 90000), n))
    return text.replace(b"\n", b"\r\n") if n % 3 == 0 else text


def test_records_equal_hdx_scan(tmp_path):
    mbox, maildir = tmp_path / "big.mbox", tmp_path / "Maildir"
    mbox.write_bytes(b"".join(b"From sender%d@example.org Fri Dec  4 02:26:18 2026\n" % n + message(n)
                              for n in range(300)))
    for sub in ("cur", "new", "tmp"):
        (maildir / sub).mkdir(parents=True)
    for n in range(20):
        (maildir / ("new" if n % 2 else "cur") / f"{1796600000 + n}.M{n}.host").write_bytes(message(n))
    paths = [str(ROOT / "examples" / "sample.mbox"), str(mbox), str(maildir)]
    (tmp_path / "policy").write_text("reject = envelope-mismatch\nquarantine = from-unreadable\n")
    options = ["--checks", "--policy", str(tmp_path / "policy")]

    want = subprocess.run([os.environ["HDX_COMMAND"], "scan", *options, "--no-progress", *paths],
                          capture_output=True, check=True).stdout
    # Slices of about 1 MiB: the large mbox is read by several tasks.
    got = subprocess.run([sys.executable, str(ROOT / "examples" / "cluster_scan.py"),
                          "--workers", "2", "--slice-mib", "1", *options, *paths],
                         capture_output=True, check=True, timeout=300).stdout
    assert got == want and got.count(b"\n") == 7 + 300 + 20
