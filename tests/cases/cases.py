"""The shared cases of tests/cases/ (the rows of fields.tsv, primitives.tsv and policies.tsv, and
messages.txt's messages) for the Python tests, the command's test and the live MTA driver; run with a path, it
writes them there as C++ for the C++ tests."""

import pathlib
import re
import sys

HERE = pathlib.Path(__file__).parent
# The keys of messages.txt.
KEYS = {"name", "peer", "mail", "rcpt", "field", "checks", "identity", "log"}


class CaseError(Exception):
    """A malformed case: a mistyped row must fail the suite, not pass asserting nothing."""


def unescape(text, where):
    """Bytes of a cell: \\r \\n \\t \\\\ and \\xHH, every other character as UTF-8."""
    escapes = {b"r": b"\r", b"n": b"\n", b"t": b"\t", b"\\": b"\\"}

    def one(m):
        if re.fullmatch(rb"x[0-9A-Fa-f]{2}", m[1]):
            return bytes([int(m[1][1:], 16)])
        if m[1] not in escapes:
            raise CaseError(f"{where}: unknown escape \\{m[1].decode()}")
        return escapes[m[1]]
    return re.sub(rb"\\(x[0-9A-Fa-f]{2}|x|.|$)", one, text.encode())


def lines(name):
    """(where, line) for each line of a case file that is not a comment."""
    text = (HERE / name).read_text(encoding="utf-8").splitlines()
    return [(f"{name}:{n}", line) for n, line in enumerate(text, 1) if not line.startswith("#")]


def rows(name, columns):
    """The rows of a tab-separated case file, every cell as bytes: COLUMNS cells, the last of
    which may be left out."""
    table = []
    for where, line in lines(name):
        if not line:
            continue
        cells = line.split("\t")
        if not columns - 1 <= len(cells) <= columns:
            raise CaseError(f"{where}: {len(cells)} cells, not {columns - 1} or {columns}")
        table.append([unescape(cell, where) for cell in cells + [""] * (columns - len(cells))])
    return table


def fields():
    """(kind, name, input, result or None, after or None) of each row of fields.tsv."""
    return [(kind.decode(), name.decode(), given, None if result == b"-" else result, after or None)
            for kind, name, given, result, after in rows("fields.tsv", 5)]


def messages():
    """Each message of messages.txt: its keys, each with its values as bytes, in order."""
    blocks, block = [], {}
    for where, line in lines("messages.txt") + [("end", "")]:
        if not line:
            if block and "name" not in block:
                raise CaseError(f"{where}: a message without a name")
            if block:
                blocks.append(block)
            block = {}
            continue
        key, colon, value = line.partition(":")
        if key not in KEYS or not colon:
            raise CaseError(f"{where}: unknown key {key!r}")
        block.setdefault(key, []).append(unescape(value[1:] if value[:1] == " " else value, where))
    return blocks


def policies():
    """Each row of policies.tsv as a message, keyed as messages.txt's are (peer, mail, rcpt, field),
    with its policy, auth ("yes" or "-"), action and spared; and, as "mailbox", its whole fields
    as a mailbox holds them: the Return-Path field that final delivery writes, a topmost Received
    field that names the client (with ESMTPA where it logged in), and the row's fields."""
    table = []
    for row in rows("policies.tsv", 8):
        m = dict(zip(["name", "policy", "peer", "auth", "mail", "field", "action", "spared"],
                     ([cell] for cell in row)))
        m["field"] = re.split(rb"\n(?=\S)", row[5])
        m["rcpt"] = [b"<bob@example.net>"]
        peer = row[2] if b":" not in row[2] else b"IPv6:" + row[2]
        received = [b"Received: from c (c [%s]) by mx with ESMTP%s; 8 Dec 2026 00:00 +0000\n" % (
            peer, b"A" * (row[3] == b"yes"))] * bool(row[2])
        m["mailbox"] = [b"Return-Path: " + row[4] + b"\n"] + received + [
            f.replace(b"\r\n", b"\n") + b"\n" for f in m["field"]]
        table.append(m)
    return table


def value(message, key):
    """A key's values joined by LF, as the lines of a folded value are; b"" for none."""
    return b"\n".join(message.get(key, []))


def cpp(data):
    """DATA (bytes, or lists and dicts of them) as a C++ initializer of std::string literals."""
    if isinstance(data, bytes):
        return '"%s"s' % "".join(chr(b) if 32 <= b < 127 and chr(b) not in '"\\?' else "\\%03o" % b
                                 for b in data)
    if isinstance(data, dict):
        return "{%s}" % ", ".join("{%s, %s}" % (cpp(k.encode()), cpp(v)) for k, v in data.items())
    return "{%s}" % ", ".join(map(cpp, data))


if __name__ == "__main__":
    pathlib.Path(sys.argv[1]).write_text(
        "// The shared cases, written by tests/cases/cases.py.\n"
        f"inline const std::vector<std::vector<std::string>> kFieldRows = {cpp(rows('fields.tsv', 5))};\n"
        f"inline const std::vector<std::vector<std::string>> kPrimitiveRows = "
        f"{cpp(rows('primitives.tsv', 6))};\n"
        f"inline const std::vector<std::map<std::string, std::vector<std::string>>> kMessages = "
        f"{cpp(messages())};\n"
        f"inline const std::vector<std::map<std::string, std::vector<std::string>>> kPolicies = "
        f"{cpp(policies())};\n")
