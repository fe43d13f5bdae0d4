"""The shared cases of tests/cases/ (the rows of fields.tsv and primitives.tsv, and messages.txt's
messages) for the Python tests, the command's test and the live MTA driver; run with a path, it
writes them there as C++ for the C++ tests."""

import pathlib
import re
import sys

HERE = pathlib.Path(__file__).parent


def unescape(text):
    """Bytes of a cell: \\r \\n \\t \\\\ and \\xHH, every other character as UTF-8."""
    escapes = {"r": b"\r", "n": b"\n", "t": b"\t", "\\": b"\\"}
    return re.sub(rb"\\(x[0-9A-Fa-f]{2}|.)",
                  lambda m: bytes([int(m[1][1:], 16)]) if m[1][:1] == b"x" else escapes[m[1].decode()],
                  text.encode())


def rows(name, columns):
    """The rows of a tab-separated case file, each COLUMNS cells long, every cell as bytes."""
    lines = (HERE / name).read_text(encoding="utf-8").splitlines()
    return [[unescape(cell) for cell in (line.split("\t") + [""] * columns)[:columns]]
            for line in lines if line and not line.startswith("#")]


def fields():
    """(kind, name, input, result or None, after or None) of each row of fields.tsv."""
    return [(kind.decode(), name.decode(), given, None if result == b"-" else result, after or None)
            for kind, name, given, result, after in rows("fields.tsv", 5)]


def messages():
    """Each message of messages.txt: its keys, each with its values as bytes, in order."""
    blocks, block = [], {}
    for line in (HERE / "messages.txt").read_text(encoding="utf-8").splitlines() + [""]:
        if line.startswith("#"):
            continue
        if not line:
            if block:
                blocks.append(block)
            block = {}
            continue
        key, _, value = line.partition(":")
        block.setdefault(key, []).append(unescape(value[1:] if value[:1] == " " else value))
    return blocks


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
        f"{cpp(messages())};\n")
