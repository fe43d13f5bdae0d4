#!/usr/bin/env python3
"""hdx from Python against what Python programs use for the same jobs, in one run, on the
realistic sets of the C++ comparisons (written out by hdx_corpus_dump): the sender's address
against email.utils.parseaddr, email.utils.getaddresses and email.headerregistry; the sender IP
of a Received field against a compiled re pattern for the same group (str and bytes); the
address of an SMTP path against re. Each figure is the best of five passes over the set, per
field; the peers are given each field as the email package holds it (a str value, the name and
the line end taken off), hdx the whole field.

Usage: python_bench.py CORPUS_DIR   (PYTHONPATH must reach the hdx module)
"""

import email.headerregistry
import email.utils
import re
import struct
import sys
import time

import hdx

# The pattern of the C++ comparison with PCRE2: the address in "from host (... [address".
RECEIVED = r"^Received:\s*from\s*(?:[^\s(]+\s*)?\([^)\[]*\[\s*([^\])\s]*)"
# The mailbox of a path: what stands between "<", an optional source route, and ">".
PATH = r"^(?:MAIL FROM|RCPT TO):\s*<(?:@[^:>]*:)?([^>]*)>"


def load(path):
    fields, data, at = [], open(path, "rb").read(), 0
    while at < len(data):
        (n,) = struct.unpack_from("<I", data, at)
        fields.append(data[at + 4:at + 4 + n])
        at += 4 + n
    return fields


def value(field):
    """A field's value as the email package parses it: a str, the name and line end taken off,
    unfolded (for free: hdx unfolds within its own time)."""
    text = field.decode("utf-8", "surrogateescape")
    return re.sub(r"\r?\n(?=[ \t])", "", text[text.index(":") + 1:].strip("\r\n")).lstrip()


def header_registry(registry):
    def job(text):
        try:
            return registry("From", text).addresses
        except (ValueError, IndexError):
            return None
    return job


def per_field(job, items):
    """Nanoseconds per item of the best of five passes."""
    best = None
    for _ in range(5):
        start = time.perf_counter_ns()
        for item in items:
            job(item)
        elapsed = time.perf_counter_ns() - start
        best = elapsed if best is None or elapsed < best else best
    return best / len(items)


def main():
    corpus = sys.argv[1]
    froms, receiveds, paths = (load(f"{corpus}/{n}.bin") for n in ("from", "received", "smtp"))
    from_values = [value(f) for f in froms]
    registry = email.headerregistry.HeaderRegistry()
    received_str = [f.decode("utf-8", "surrogateescape") for f in receiveds]
    path_str = [f.decode("utf-8", "surrogateescape") for f in paths]
    received_re, received_bytes_re = re.compile(RECEIVED), re.compile(RECEIVED.encode())
    path_re = re.compile(PATH)

    def re_group(pattern):
        def job(text):
            m = pattern.search(text)
            return m.group(1) if m else None
        return job

    from_str = [f.decode("utf-8", "surrogateescape") for f in froms]
    rows = [
        ("From: sender address", "hdx.sender_address, bytes", per_field(hdx.sender_address, froms),
         [("email.utils.parseaddr", per_field(email.utils.parseaddr, from_values)),
          ("email.utils.getaddresses", per_field(lambda v: email.utils.getaddresses([v]),
                                                 from_values)),
          ("email.headerregistry", per_field(header_registry(registry),
                                             from_values[:len(from_values) // 10]))]),
        ("From: sender address", "hdx.sender_address, str", per_field(hdx.sender_address, from_str),
         [("email.utils.parseaddr", per_field(email.utils.parseaddr, from_values))]),
        ("Received: sender IP", "hdx.sender_ip, str", per_field(hdx.sender_ip, received_str),
         [("re, str", per_field(re_group(received_re), received_str))]),
        ("Received: sender IP", "hdx.sender_ip, bytes", per_field(hdx.sender_ip, receiveds),
         [("re, bytes", per_field(re_group(received_bytes_re), receiveds))]),
        ("SMTP path: address", "hdx.path_address, str", per_field(hdx.path_address, path_str),
         [("re, str", per_field(re_group(path_re), path_str))]),
    ]
    print(f"{len(froms)} From fields, {len(receiveds)} Received fields, {len(paths)} SMTP commands;"
          " ns per item, best of 5; speed-up = peer's time / hdx's")
    print("| job | hdx | ns | peer | ns | speed-up |\n|---|---|---|---|---|---|")
    for job, name, ns, peers in rows:
        for peer, peer_ns in peers:
            print(f"| {job} | `{name}` | {ns:.0f} | `{peer}` | {peer_ns:.0f} |"
                  f" {peer_ns / ns:.1f} |")


if __name__ == "__main__":
    main()
