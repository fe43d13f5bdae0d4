"""examples/cluster_scan.py on a local cluster of two worker processes, on loopback: its records
must be hdx scan's, byte for byte, sender checks included, on the same mbox files and Maildir."""

import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]


def message(n, newline=b"\n"):
    lines = [
        b"Return-Path: <bounce-%d@lists.example.com>" % n,
        b"Received: from mx%d.example.net (mx%d.example.net" % (n % 7, n % 7),
        b" [192.0.2.%d])" % (n % 250),
        b"\tby mail.example.org; Fri, 04 Dec 2026 02:26:18 +0000",
        b"Received: by localhost",
        b'From: "Sender %d, Example" <sender%d@example.org> (comment)' % (n, n),
        b"X-Long: " + b"y" * (n * 701 % 90000),
        b"",
        b"body %d" % n,
        b"From the desk of a sender: not after a blank line, so not a new message",
        b"",
    ]
    return newline.join(lines) + newline


def test_records_equal_hdx_scan(tmp_path):
    mbox = tmp_path / "big.mbox"
    with open(mbox, "wb") as f:
        for n in range(300):
            f.write(b"From sender%d@example.org Fri Dec  4 02:26:18 2026\n" % n)
            f.write(message(n, b"\r\n" if n % 3 == 0 else b"\n"))
    maildir = tmp_path / "Maildir"
    for sub in ("cur", "new", "tmp"):
        (maildir / sub).mkdir(parents=True)
    for n in range(20):
        name = f"{1796600000 + n}.M{n}.host"
        (maildir / ("new" if n % 2 else "cur") / name).write_bytes(message(n))
    paths = [str(ROOT / "examples" / "sample.mbox"), str(mbox), str(maildir)]

    want = subprocess.run([os.environ["HDX_COMMAND"], "scan", "--checks", "--no-progress", *paths],
                          capture_output=True, check=True).stdout
    # Slices of about 1 MiB: the large mbox is read by several tasks.
    got = subprocess.run([sys.executable, str(ROOT / "examples" / "cluster_scan.py"),
                          "--workers", "2", "--slice-mib", "1", "--checks", *paths],
                         capture_output=True, check=True, timeout=300).stdout
    assert got.count(b"\n") == 7 + 300 + 20
    assert got == want
