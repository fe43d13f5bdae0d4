#!/usr/bin/env python3
"""hdx scan spread over a Dask cluster.

Reads mailboxes (mbox files and Maildirs, or any directory of message files) and prints one
record per message, in the same tab-separated form and the same order as `hdx scan`: its source
(the file, or FILE#N for the Nth message of an mbox), the address of its first From field, that
of its first Return-Path field, the sender IP of each Received field, top to bottom, and with
--checks the sender checks that fire, as hdx scan --checks prints them.

There is one task per file, and one per slice of an mbox larger than --slice-mib; each worker
reads its messages with the standard mailbox module and hdx, and the records are gathered in
input order. Without --scheduler, a cluster of --workers processes is started on this machine;
with it, the tasks go to that cluster, whose workers need the hdx module (python3-hdx) and must
see the same paths.

    python3 cluster_scan.py --scheduler tcp://scheduler.example.net:8786 /srv/mail/archive
"""

import argparse
import mailbox
import mmap
import os
import sys

import hdx

# As hdx scan reads mail: at most this much of a header section, in pieces of at most this size
# (a longer line comes in several), and the part past the cap dropped whole.
MAX_HEADER = 1 << 20
MAX_PIECE = 64 * 1024


class MboxSlice(mailbox.mbox):
    """The messages of an mbox that start in [start, end). As hdx scan reads an mbox, a "From "
    line opens a message only at the start of the file or after a blank line (the mailbox module
    would also take one in the middle of a body)."""

    def __init__(self, path, start, end):
        self._slice = (start, end)
        super().__init__(path, create=False)

    def _generate_toc(self):
        start, end = self._slice
        starts, stops = [], []
        self._file.seek(start)
        position, after_blank = start, True
        for line in iter(self._file.readline, b""):
            if after_blank and line.startswith(b"From "):
                if position >= end:
                    break
                if starts:
                    stops.append(position)
                starts.append(position)
            after_blank = line in (b"\n", b"\r\n")
            position += len(line)
        if starts:
            stops.append(position)
        self._toc = dict(enumerate(zip(starts, stops)))
        self._next_key = len(self._toc)
        self._file_length = position


def header_section(message):
    """The header section of a message's bytes, cut as hdx scan cuts it."""
    header, size = [], 0
    for line in lines(message):
        if line in (b"\n", b"\r\n"):
            break
        for piece in (line[i:i + MAX_PIECE] for i in range(0, len(line), MAX_PIECE)):
            if size + len(piece) > MAX_HEADER:
                return b"".join(header)
            header.append(piece)
            size += len(piece)
    return b"".join(header)


def lines(data):
    """Lines ended by LF only, as the library ends them (splitlines also ends them at CR)."""
    start = 0
    while start < len(data):
        end = data.find(b"\n", start)
        end = len(data) if end < 0 else end + 1
        yield data[start:end]
        start = end


def fields(header):
    """Each whole field: its first line and its continuation lines, line ends included."""
    field = b""
    for line in lines(header):
        if field and line[:1] not in (b" ", b"\t"):
            yield field
            field = b""
        field += line
    if field:
        yield field


def is_named(field, name):
    """Whether the field is NAME in any case, with any blanks before the colon."""
    return field[:len(name)].lower() == name and field[len(name):].lstrip(b" \t")[:1] == b":"


def examine(message, policy=None):
    """(from, return_path, [received IP, ...], [check, ...], (action, spared) or None) of one
    message's bytes; None where nothing was found, and None for from or return_path when the
    message has no such field. The action is what POLICY, a policy file's text, would do."""
    sender = return_path = None
    seen_from = seen_return_path = False
    received = []
    whole = list(fields(header_section(message)))
    for field in whole:
        if is_named(field, b"from") and not seen_from:
            seen_from, sender = True, hdx.sender_address(field)
        elif is_named(field, b"return-path") and not seen_return_path:
            seen_return_path, return_path = True, hdx.sender_address(field)
        elif is_named(field, b"received"):
            received.append(hdx.sender_ip(field))
    action = None if policy is None else hdx.mailbox_action(whole, policy)
    return sender, return_path, received, hdx.mailbox_checks(whole), action


def scan_task(task, policy=None):
    """The findings of one task: a whole message file, or a slice of an mbox."""
    path, start, end = task
    if end is None:
        with open(path, "rb") as f:
            return [examine(f.read(), policy)]
    box = MboxSlice(path, start, end)
    try:
        return [examine(box.get_bytes(key), policy) for key in box.iterkeys()]
    finally:
        box.close()


def files_of(path):
    """The files of a path, directories walked recursively, in the order hdx scan takes them."""
    if not os.path.isdir(path):
        return [path]
    found = []
    for top, _, names in os.walk(path):
        found.extend(os.path.join(top, name) for name in names)
    return sorted(f for f in found if os.path.isfile(f))


def tasks_of(path, slice_bytes):
    """The tasks of one file, each (path, start, end); end is None for a single message."""
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        if size == 0:
            return []
        if f.read(5) != b"From ":
            return [(path, 0, None)]
        cuts = [0]
        with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as data:
            while cuts[-1] + slice_bytes < size:
                cut = next_message(data, cuts[-1] + slice_bytes)
                if cut < 0:
                    break
                cuts.append(cut)
    return [(path, a, b) for a, b in zip(cuts, cuts[1:] + [size])]


def next_message(data, at):
    """Where the first message that starts at or after AT begins, or -1."""
    candidates = [data.find(sep, at - 1) for sep in (b"\n\nFrom ", b"\n\r\nFrom ")]
    found = [c for c in candidates if c >= 0]
    if not found:
        return -1
    first = min(found)
    return data.find(b"From ", first)


def tsv(value):
    if value is None:
        return b""
    for raw, escaped in ((b"\\", b"\\\\"), (b"\t", b"\\t"), (b"\n", b"\\n"), (b"\r", b"\\r"),
                         (b",", b"\\,")):
        value = value.replace(raw, escaped)
    return value


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("paths", nargs="+", metavar="PATH")
    parser.add_argument("--scheduler", help="address of a running cluster's scheduler")
    parser.add_argument("--workers", type=int, default=os.cpu_count(),
                        help="worker processes of the local cluster (default: every core)")
    parser.add_argument("--slice-mib", type=float, default=64,
                        help="an mbox larger than this is read in slices of about this size")
    parser.add_argument("--checks", action="store_true",
                        help="a column with the sender checks that fire")
    parser.add_argument("--policy", metavar="FILE",
                        help="two last columns: what FILE's policy would do, and why a check it "
                             "names was spared (hdx scan --policy)")
    args = parser.parse_args()
    policy = None
    if args.policy:
        with open(args.policy, "rb") as f:
            policy = f.read()
        hdx.mailbox_action([], policy)  # a mistake in it stops the scan here, naming the line

    from distributed import Client, LocalCluster

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address=None)
        client = Client(cluster)
    slice_bytes = max(1, int(args.slice_mib * 1024 * 1024))
    tasks = [t for path in args.paths for f in files_of(path) for t in tasks_of(f, slice_bytes)]
    results = client.gather(client.map(scan_task, tasks, policy=policy, pure=False))
    out = sys.stdout.buffer
    number = {}  # per mbox, the messages of its earlier slices
    for (path, start, end), found in zip(tasks, results):
        for sender, return_path, received, checks, action in found:
            source = path.encode(errors="surrogateescape")
            if end is not None:
                number[path] = number.get(path, 0) + 1
                source += b"#%d" % number[path]
            columns = [tsv(source), tsv(sender), tsv(return_path),
                       b",".join(tsv(ip) for ip in received)]
            if args.checks:
                columns.append(",".join(checks).encode())
            if action:
                columns += [action[0].encode(), (action[1] or "").encode()]
            out.write(b"\t".join(columns) + b"\n")
    client.close()
    if not args.scheduler:
        cluster.close()


if __name__ == "__main__":
    main()
