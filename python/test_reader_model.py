"""The sender checks against a model of what a mail reader shows: random From fields, each built
from a name and a mailbox in one of the spellings that hide an address from a byte scan. The model
knows what a person sees (the name decoded, unescaped, without invisible characters, each character
as it looks) and which mailbox RFC 5322 reads; the checks must say so exactly when the name shows
an address of another domain, or when the library reads another mailbox."""

import base64
import os
import random
import re
import time
import unicodedata
from email import policy

import hdx

NAMES = ["Support Team", "support@paypal.com", "support@evil.example", "ceo@b\u00fccher.example",
         "ceo@xn--bcher-kva.example", "ceo@p\u0430ypal.com", "CEO (ceo@bank.example)"]
MAILBOXES = [("xx", "evil.example"), ("ceo", "b\u00fccher.example"), ("ceo", "xn--bcher-kva.example")]
INVISIBLE = ["\u200b", "\u00ad", "\u2060", "\ufeff", "\u200e", "\u202e"]
ADDRESS = re.compile(r"[\w.!#$%&'*+/=?^`{|}~-]+@([\w-]+(?:\.[\w-]+)+)")


def looks(text):  # what a person sees of text
    return "".join(unicodedata.normalize("NFKC", c) for c in text
                   if unicodedata.category(c) != "Cf")


def idna(domain):
    try:
        return domain.rstrip(".").encode("idna").decode().lower()
    except UnicodeError:
        return domain.lower()


def disguised(name, rng):  # the name as a person sees it, spelled to hide it from a byte scan
    for _ in range(rng.randrange(3)):
        cut = rng.randrange(len(name) + 1)
        name = name[:cut] + rng.choice(INVISIBLE) + name[cut:]
    if rng.random() < 0.3:
        name = name.replace("@", "\uff20").replace(".", rng.choice([".", "\uff0e"]))
    if rng.random() < 0.5:
        return '"' + re.sub(r"([@.])", lambda m: "\\" * rng.randrange(2) + m[1], name) + '"'
    data, words = name.encode(), []
    cuts = sorted(rng.sample(range(1, len(data)), min(2, len(data) - 1)))
    for part in (data[a:b] for a, b in zip([0] + cuts, cuts + [len(data)])):
        text = base64.b64encode(part).decode() if rng.random() < 0.5 else "".join(
            "=%02X" % b for b in part)
        words.append("=?utf-8?%s?%s?=" % ("B" if "=" not in text[:1] else "Q", text))
    return rng.choice([" ", "\r\n ", "  "]).join(words)


def test_checks_say_what_a_reader_shows():
    rng = random.Random(int(os.environ.get("HDX_READER_SEED", "1")))
    end, count = time.monotonic() + float(os.environ.get("HDX_READER_SECONDS", "10")), 0
    while time.monotonic() < end:
        name, (local, domain) = rng.choice(NAMES), rng.choice(MAILBOXES)
        spelled = disguised(name, rng)
        form = rng.randrange(4)
        value = [f"{spelled} <{local}@{domain}>", f"{spelled} <{local}@{domain}",
                 f"{local}@{domain} ({spelled.strip(chr(34))})",
                 '"%s %s"@%s' % (name.replace("\\", "\\\\").replace('"', '\\"'), local, domain)][form]
        mailbox = (f"{name} {local}" if form == 3 else local, domain)
        if form in (0, 3) and spelled.startswith('"') and "\r" not in spelled:
            read = policy.default.header_factory("From", value).addresses[0]
            assert (read.username, read.domain) == mailbox, value  # the model's mailbox
        fields = [f"Return-Path: <{local}@{domain}>\r\n", f"From: {value}\r\n"]
        checks = hdx.mailbox_checks([f.encode() for f in fields])
        shown = [m[1] for m in ADDRESS.finditer(looks(name))] if form != 3 else []
        other = any(idna(d) != idna(domain) for d in shown)
        assert ("from-display-address" in checks) == other, (value, checks)
        library = hdx.sender_address(fields[1])
        assert library == "%s@%s" % mailbox or {"from-ambiguous", "from-unreadable"} & set(checks), \
            (value, library, checks)
        count += 1
    assert count > 100
