"""The hdx module against its contract: every input type, buffers changed in place as the
library changes them, wrong types, threads and leaks."""

import mmap
import pathlib
import re
import sys
import threading
import tracemalloc

import pytest

import hdx

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "cases"))
import cases  # noqa: E402  (the shared rows, found beside the tests)

# The shared field rows: each kind's copying function, and its in-place one.
COPYING = {"from": hdx.sender_address, "return-path": hdx.sender_address,
           "received": hdx.sender_ip, "path": hdx.path_address}
FIELDS = cases.fields()
IN_PLACE = [row for row in FIELDS if row[4] is not None]  # those that pin the buffer afterwards

# The primitives' shared rows: what each gives, and the row's result as it gives it.
PRIMITIVES = {
    "search": (hdx.search, lambda n: (int(n[0]), int(n[1]), len(n) == 3)),
    "line_end": (lambda text, _: hdx.find_line_end(text), lambda n: (int(n[0]), int(n[1]))),
    "not_space": (lambda text, _: hdx.has_non_space(text), lambda n: n == [b"1"]),
    "comment": (lambda text, _: hdx.comment_length(text), lambda n: int(n[0])),
    "quoted": (lambda text, _: hdx.quoted_string_length(text), lambda n: int(n[0])),
    "unfold": (lambda text, _: hdx.unfold(text), None),
}
PRIMITIVE_ROWS = cases.rows("primitives.tsv", 6)

KINDS = {"bytes": bytes, "bytearray": bytearray, "memoryview": memoryview,
         "str": lambda b: b.decode("utf-8", "surrogateescape")}


def in_family(result, kind):  # bytes as a str gives them, where the input is one
    return result.decode("utf-8", "surrogateescape") if isinstance(result, bytes) and kind == "str" \
        else result


# Positions count characters in a str; the rows' text is ASCII or bytes that are not UTF-8, each
# a character in a str, so they count the same.
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("row", PRIMITIVE_ROWS, ids=lambda r: f"{r[0].decode()}: {r[1].decode()}")
def test_primitive_rows(row, kind):
    primitive, _, text, argument, result, after = row
    call, result_of = PRIMITIVES[primitive.decode()]
    want = None if result == b"-" else after[:int(result)] if not result_of else result_of(result.split())
    got = call(KINDS[kind](text), KINDS[kind](argument))
    assert got == in_family(want, kind) and type(got) is type(in_family(want, kind))
    if primitive == b"unfold" and kind == "bytearray":
        buf = bytearray(text)
        assert hdx.unfold_in_place(buf) is None and buf == want


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("row", FIELDS, ids=lambda row: f"{row[0]}: {row[1]}")
def test_field_rows(row, kind):
    field_kind, _, given, want, _ = row
    assert COPYING[field_kind](KINDS[kind](given)) == in_family(want, kind)


# The field rows that pin the buffer afterwards: the bytearray as the library leaves it,
# leftovers included.
@pytest.mark.parametrize("row", IN_PLACE, ids=lambda r: r[1])
def test_in_place(row):
    field_kind, _, given, want, after = row
    buf = bytearray(given)
    if field_kind == "received":
        at = hdx.sender_ip_in_place(buf)
        assert (at and bytes(buf[at[0]:at[0] + at[1]])) == want
    else:
        assert hdx.sender_address_in_place(buf) == want
    assert buf == after


def test_str_round_trips_and_counts_characters():
    # Non-ASCII text, and a byte that is not UTF-8, come back byte for byte; positions count
    # characters.
    field = "From: =?utf-8?Q?=C3=89?= Ünïcode <ü@example.org> \udce9\r\n"
    raw = field.encode("utf-8", "surrogateescape")
    assert hdx.sender_address(field) == hdx.sender_address(raw).decode("utf-8", "surrogateescape")
    assert hdx.unfold(field) == field
    assert hdx.search("äöü=?x", "=?") == (3, 2, False)
    assert hdx.find_line_end("ää\nb") == (3, 1)
    assert hdx.comment_length("(ä)x") == 3


# The shared messages' checks, each message read as a mailbox holds it: after the Return-Path
# field that final delivery writes.
@pytest.mark.parametrize("message", cases.messages(), ids=lambda m: cases.value(m, "name").decode())
def test_message_checks(message):
    fields = [b"Return-Path: " + cases.value(message, "mail")] + message["field"]
    got = hdx.mailbox_checks([f + b"\r\n" for f in fields])
    assert ",".join(got) == cases.value(message, "checks").decode()



# The shared policy rows, each message as a mailbox holds it: the action, and why a check was
# spared, or the policy's mistake.
@pytest.mark.parametrize("m", cases.policies(), ids=lambda m: cases.value(m, "name").decode())
def test_policy_rows(m):
    action, spared = cases.value(m, "action").decode(), cases.value(m, "spared").decode() or None
    if action.startswith("error: "):
        with pytest.raises(ValueError, match=re.escape(action[7:])):
            hdx.mailbox_action(m["mailbox"], cases.value(m, "policy"))
    else:
        got, why = hdx.mailbox_action(m["mailbox"], cases.value(m, "policy"))
        assert (got.split(":")[0], why) == (action, spared)


WRONG = [
    lambda: hdx.sender_address(5),
    lambda: hdx.sender_address(memoryview(b"abcd")[::2]),
    lambda: hdx.sender_address_in_place(b"From: a@b"),
    lambda: hdx.unfold_in_place(memoryview(bytearray(b"a\r\n b"))),
    lambda: hdx.search("text", b"t"),
    lambda: hdx.search(b"text"),
    lambda: hdx.current_date(b"x"),
]


@pytest.mark.parametrize("call", WRONG)
def test_wrong_arguments(call):
    with pytest.raises(TypeError):
        call()


def test_over_4_gib_is_refused_not_cut():
    with mmap.mmap(-1, 1 << 32) as huge, pytest.raises(ValueError, match="4 GiB"):
        hdx.has_non_space(memoryview(huge))


def test_current_date():
    date = hdx.current_date()
    assert isinstance(date, str) and date[3:5] == ", " and len(date) == 31


def test_threads_read_alike():
    # The rows, and a field long enough to be read without the GIL, on 8 threads at once: each
    # thread reads what one alone does.
    work = [row[2] for row in FIELDS] + [b"Received: from x (x" + b"\r\n y" * 40000 + b" [192.0.2.7])"]
    read = lambda: [(hdx.sender_address(f), hdx.sender_ip(f), hdx.unfold(f)) for f in work]  # noqa: E731
    want, got = read(), []
    threads = [threading.Thread(target=lambda: got.extend(read() for _ in range(5))) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert want[-1][1] == b"192.0.2.7" and got == [want] * 40


def test_no_leak():
    # Every test above but the 4 GiB one, over and over: memory must not grow with the calls.
    def run_all(times):
        for _ in range(times):
            for kind in KINDS:
                for row in PRIMITIVE_ROWS:
                    test_primitive_rows(row, kind)
                for row in FIELDS:
                    test_field_rows(row, kind)
            for row in IN_PLACE:
                test_in_place(row)
            for call in WRONG:
                test_wrong_arguments(call)
            test_str_round_trips_and_counts_characters()
            assert hdx.sender_address("From: <ab@cd>" + " " * 2000) == "ab@cd"  # room from the heap

    run_all(3)
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    run_all(100)
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert grown < 64 * 1024, f"{grown} bytes kept after 100 rounds of every call"
