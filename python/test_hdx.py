"""The hdx module against its contract: every input type, the C library on the same bytes,
wrong types, threads and leaks."""

import ctypes
import ctypes.util
import mmap
import os
import random
import threading
import tracemalloc

import pytest

import hdx

# (function, argument as bytes, result for bytes). Positions count bytes; every argument here is
# ASCII, so a str counts the same.
ROWS = [
    (hdx.sender_address, b"From: Ann <ann@example.org>\r\n", b"ann@example.org"),
    (hdx.sender_address, b'From: "a@b" <ab@cd>\r\n', b"ab@cd"),
    (hdx.sender_address, b"From: ab(x)@cd", b"ab@cd"),
    (hdx.sender_address, b"From: =?utf-8?Q?Ann?= <ann@x>", b"ann@x"),
    (hdx.sender_address, b"From: ann @ example.org\r\n\t(comment)\r\n", b"ann@example.org"),
    (hdx.sender_address, b"From: nobody\r\n", None),
    (hdx.sender_address, b"", None),
    (hdx.sender_ip, b"Received: from mx (mx [192.0.2.25]) by y\r\n", b"192.0.2.25"),
    (hdx.sender_ip, b"Received: from mx (mx\r\n\t[IPv6:2001:db8::1]) by y", b"IPv6:2001:db8::1"),
    (hdx.sender_ip, b"Received: by y\r\n", None),
    (hdx.path_address, b"RCPT TO:<@relay.example:bob@example.net>", b"bob@example.net"),
    (hdx.path_address, b'MAIL FROM:<"a b"@example.org> SIZE=10', b'"a b"@example.org'),
    (hdx.path_address, b"MAIL FROM:<>", None),
    (hdx.unfold, b"Subject: a\r\n b\r\n", b"Subject: a b\r\n"),
    (hdx.unfold, b"", b""),
    (hdx.find_line_end, b"ab\r\ncd", (4, 2)),
    (hdx.find_line_end, b"ab\ncd", (3, 1)),
    (hdx.find_line_end, b"ab\rcd", None),
    (hdx.has_non_space, b"  \t ", True),
    (hdx.has_non_space, b"    ", False),
    (hdx.has_non_space, b"", False),
    (hdx.comment_length, b"(a(b)\\)c)d", 9),
    (hdx.comment_length, b"(a", None),
    (hdx.quoted_string_length, b'"a\\"b"c', 6),
    (hdx.quoted_string_length, b"x", None),
]

KINDS = {
    "bytes": bytes,
    "bytearray": bytearray,
    "memoryview": memoryview,
    "str": lambda b: b.decode("utf-8", "surrogateescape"),
}


def in_family(result, kind):
    if isinstance(result, bytes) and kind == "str":
        return result.decode("utf-8", "surrogateescape")
    return result


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("function,argument,want", ROWS)
def test_every_input_type(function, argument, want, kind):
    got = function(KINDS[kind](argument))
    assert got == in_family(want, kind)
    assert type(got) is type(in_family(want, kind))


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("text,pattern,want", [
    (b"ab=?cd", b"=?", (2, 2, False)),
    (b"abc=", b"=?", (3, 1, True)),
    (b"abc", b"x", None),
])
def test_search(text, pattern, want, kind):
    assert hdx.search(KINDS[kind](text), KINDS[kind](pattern)) == want


@pytest.mark.parametrize("field", [
    "From: Ünïcode <ü@example.org>\r\n",
    "From: =?utf-8?Q?=C3=89?= <ann@example.org> \udce9\r\n",  # a byte that is not UTF-8
])
def test_str_round_trips_byte_for_byte(field):
    raw = field.encode("utf-8", "surrogateescape")
    assert hdx.sender_address(field) == hdx.sender_address(raw).decode("utf-8", "surrogateescape")
    assert hdx.unfold(field) == field


def test_str_positions_count_characters():
    assert hdx.search("äöü=?x", "=?") == (3, 2, False)
    assert hdx.find_line_end("ää\nb") == (3, 1)
    assert hdx.comment_length("(ä)x") == 3


# The C library itself, through ctypes, on the same bytes: the module must leave each buffer as
# it does, leftovers included, and find the same.
def c_library():
    path = os.environ.get("HDX_LIBRARY") or ctypes.util.find_library("hdx")
    # By its name, so that this is the very library the module loaded (the build the loader picked
    # for this CPU) and bound to its runtime. A module built with the library inside loads none:
    # there HDX_LIBRARY names an object that brings libhdx.so and a runtime, such as the build
    # tree's module.
    lib = ctypes.CDLL(path)
    u32, p = ctypes.c_uint32, ctypes.c_char_p
    lib.HDXExtractSenderEmailAddrFromFromHdrField.argtypes = [p, u32, p, u32]
    lib.HDXExtractSenderIPFromRcvdHdrField.argtypes = [
        p, u32, ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(u32)]
    lib.HDXUnfoldEmailHdrLine.argtypes = [p, u32]
    lib.HDXUnfoldEmailHdrLine.restype = u32
    return lib


def c_sender_address(lib, data):
    buf = ctypes.create_string_buffer(data, len(data))
    out = ctypes.create_string_buffer(len(data) + 1)
    rc = lib.HDXExtractSenderEmailAddrFromFromHdrField(buf, len(data), out, len(data) + 1)
    return buf.raw, out.value if rc == 0 else None


def c_sender_ip(lib, data):
    buf = ctypes.create_string_buffer(data, len(data))
    ip, length = ctypes.c_void_p(), ctypes.c_uint32()
    rc = lib.HDXExtractSenderIPFromRcvdHdrField(buf, len(data), ctypes.byref(ip),
                                                ctypes.byref(length))
    start = (ip.value or 0) - ctypes.addressof(buf)
    return buf.raw, (start, length.value) if rc == 0 else None


def c_unfold(lib, data):
    buf = ctypes.create_string_buffer(data, len(data))
    kept = lib.HDXUnfoldEmailHdrLine(buf, len(data))
    return buf.raw[:kept]


def fields(seed, count):
    """Fields made of the bytes the library treats specially, with realistic starts."""
    rng = random.Random(seed)
    alphabet = b'()<>@"\\,;:[]=?\r\n \tab.9\x80'
    starts = [b"From: ", b"Received: from ", b"Return-Path: ", b""]
    return [rng.choice(starts) + bytes(rng.choice(alphabet) for _ in range(rng.randrange(40)))
            for _ in range(count)]


def test_in_place_as_the_c_library():
    lib = c_library()
    for data in fields(seed=1, count=3000):
        buf = bytearray(data)
        got = hdx.sender_address_in_place(buf)
        assert (bytes(buf), got) == c_sender_address(lib, data), data
        assert hdx.sender_address(data) == got
        buf = bytearray(data)
        got = hdx.sender_ip_in_place(buf)
        assert (bytes(buf), got) == c_sender_ip(lib, data), data
        if got is not None:
            assert hdx.sender_ip(data) == bytes(buf[got[0]:got[0] + got[1]])
        buf = bytearray(data)
        hdx.unfold_in_place(buf)
        assert bytes(buf) == c_unfold(lib, data) == hdx.unfold(data), data


@pytest.mark.parametrize("call,error", [
    (lambda: hdx.sender_address(5), TypeError),
    (lambda: hdx.sender_address(None), TypeError),
    (lambda: hdx.sender_address(memoryview(b"abcd")[::2]), TypeError),
    (lambda: hdx.sender_address_in_place(b"From: a@b"), TypeError),
    (lambda: hdx.sender_ip_in_place("Received: from x"), TypeError),
    (lambda: hdx.unfold_in_place(memoryview(bytearray(b"a\r\n b"))), TypeError),
    (lambda: hdx.search("text", b"t"), TypeError),
    (lambda: hdx.search(b"text"), TypeError),
    (lambda: hdx.current_date(b"x"), TypeError),
])
def test_wrong_arguments(call, error):
    with pytest.raises(error):
        call()


def test_over_4_gib_is_refused_not_cut():
    with mmap.mmap(-1, 1 << 32) as huge, pytest.raises(ValueError, match="4 GiB"):
        hdx.has_non_space(memoryview(huge))


def test_current_date():
    date = hdx.current_date()
    assert isinstance(date, str) and date[3:5] == ", " and len(date) == 31


def test_threads_read_alike():
    # A field long enough to be worked on without the GIL among short ones.
    long_field = b"Received: from x (x" + b"\r\n y" * 40000 + b" [192.0.2.7]) by z\r\n"
    work = fields(seed=2, count=200) + [long_field]
    want = [(hdx.sender_address(f), hdx.sender_ip(f), hdx.unfold(f)) for f in work]
    mismatches = []

    def run():
        for _ in range(5):
            got = [(hdx.sender_address(f), hdx.sender_ip(f), hdx.unfold(f)) for f in work]
            mismatches.append(got != want)

    threads = [threading.Thread(target=run) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert want[-1][1] == b"192.0.2.7" and not any(mismatches)


def test_no_leak():
    calls = [
        lambda: hdx.sender_address("From: Ann <ann@example.org>"),
        lambda: hdx.sender_address_in_place(bytearray(b"From: a(b)@c")),
        lambda: hdx.sender_ip(b"Received: from x (x [192.0.2.1])"),
        lambda: hdx.sender_ip_in_place(bytearray(b"Received: from x (x [192.0.2.1])")),
        lambda: hdx.path_address(b"MAIL FROM:<a@b>"),
        lambda: hdx.unfold(bytearray(b"a\r\n b" * 100)),
        lambda: hdx.unfold_in_place(bytearray(b"a\r\n b")),
        lambda: hdx.search("äbc", "c"),
        lambda: hdx.sender_address(5),
    ]

    def run_all(times):
        for call in calls:
            for _ in range(times):
                try:
                    call()
                except TypeError:
                    pass

    run_all(1000)
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    run_all(10000)
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert grown < 64 * 1024, f"{grown} bytes kept after {10000 * len(calls)} calls"
