#!/usr/bin/env python3
"""Writes the seed corpus: frame bodies and byte streams, valid and near-valid.

The files are checked in; run this only to change them:
    tests/fuzz/make_corpus.py tests/fuzz/corpus
"""

import pathlib
import struct
import sys

PREAMBLE = b"TVXR" + struct.pack(">H", 3)


def head(major, n):
    """A CBOR item head in its shortest form."""
    if n < 24:
        return bytes([major << 5 | n])
    if n < 0x100:
        return bytes([major << 5 | 24, n])
    if n < 0x10000:
        return bytes([major << 5 | 25]) + struct.pack(">H", n)
    return bytes([major << 5 | 26]) + struct.pack(">I", n)


def uint(n):
    return head(0, n)


def text(s):
    raw = s.encode("utf-8") if isinstance(s, str) else s
    return head(3, len(raw)) + raw


def blob(raw):
    return head(2, len(raw)) + raw


def array(*items):
    return head(4, len(items)) + b"".join(items)


def frame(body):
    return struct.pack(">I", len(body)) + body


BODIES = {
    # What each side sends.
    "join": array(uint(2), uint(15000)),
    "ping": array(uint(3)),
    "bye": array(uint(10)),
    "welcome": array(uint(4), uint(1), uint(5), uint(15000)),
    "welcome-last-slot-of-largest-room": array(uint(4), uint(255), uint(256), uint(3600000)),
    "refuse-room-full": array(uint(5), uint(1)),
    "arrive": array(uint(7), uint(3)),
    "depart": array(uint(9), uint(4)),
    "set-name-japanese": array(uint(1), text("name"), text("ぺぽらん")),
    "store-with-tab": array(uint(6), uint(0), text("chat"), text("a\tb")),
    "update-emoji": array(uint(8), uint(2), text("chat"), text("やあ 😀")),
    "update-empty-value": array(uint(8), uint(1), text("chat"), text("")),
    "set-texts-led-by-bom": array(uint(1), text("\ufeffname"), text("\ufeff\ufeffぺぽらん")),
    "hello-open": array(uint(11), uint(0), blob(b"")),
    "hello-door": array(uint(11), uint(1), blob(bytes(range(16)))),
    "knock": array(uint(12), blob(b"n" * 16), blob(b"s" * 32)),
    "answer": array(uint(13), blob(b"s" * 32), blob(b"t" * 64)),
    "confirm": array(uint(14), blob(b"t" * 64)),
    # Well-formed, but the texts carry what cleaning replaces.
    "update-line-break": array(uint(8), uint(1), text("chat"), text("a\r\nb\x00\x1b")),
    "set-c1-and-separators": array(uint(1), text("chat"), text("\x85\u2028\u2029\x7f")),
    # Valid CBOR that is not in its shortest form, and strings sent in chunks.
    "arrive-long-form-slot": bytes([0x82, 0x07, 0x19, 0x00, 0x03]),
    "set-chunked-texts": bytes([0x83, 0x01, 0x7F]) + text("na") + text("me") + b"\xff"
    + bytes([0x7F]) + text("ぺ") + text("") + b"\xff",
    # Near misses, each refused by a different check.
    "near-type-zero": array(uint(0)),
    "near-unknown-type": array(uint(15)),
    "near-hello-door-without-nonce": array(uint(11), uint(1), blob(b"")),
    "near-confirm-short-tag": array(uint(14), blob(b"t" * 63)),
    "near-ping-with-field": array(uint(3), uint(0)),
    "near-slot-256": array(uint(7), uint(256)),
    "near-welcome-outside-room": array(uint(4), uint(5), uint(5), uint(1000)),
    "near-welcome-of-version-1": array(uint(4), uint(1), uint(5)),
    "near-join-of-version-1": array(uint(2)),
    "near-join-allowing-no-silence": array(uint(2), uint(0)),
    "near-indefinite-array": bytes([0x9F, 0x03, 0xFF]),
    "near-trailing-byte": array(uint(3)) + b"\x00",
    "near-tagged-slot": bytes([0x82, 0x07, 0xC0, 0x03]),
    "near-key-is-bytes": array(uint(1), head(2, 1) + b"k", text("v")),
    "near-invalid-utf8": array(uint(1), text("a"), text(b"b\xff\xfe")),
    "near-utf8-surrogate": array(uint(1), text("a"), text(b"\xed\xa0\x80")),
    "near-text-says-longer": array(uint(1), text("a"), bytes([0x78, 0xFF, 0x61])),
    "near-text-length-huge": array(uint(1), text("a"), bytes([0x7B]) + b"\xff" * 8),
    "near-chunk-not-text": bytes([0x83, 0x01, 0x7F, 0x41, 0x61, 0xFF]) + text("v"),
}

STREAMS = {
    # What a joining member reads from a host, preamble first.
    "stream-host-session": PREAMBLE
    + frame(BODIES["hello-open"])
    + frame(BODIES["welcome"])
    + frame(BODIES["store-with-tab"])
    + frame(BODIES["arrive"])
    + frame(BODIES["update-emoji"])
    + frame(BODIES["ping"]),
    # What a host reads from a joining member.
    "stream-member-session": PREAMBLE
    + frame(BODIES["set-name-japanese"])
    + frame(BODIES["join"])
    + frame(BODIES["ping"]),
    "stream-door-host-session": PREAMBLE
    + frame(BODIES["hello-door"])
    + frame(BODIES["answer"])
    + frame(BODIES["welcome"]),
    "stream-door-member-session": PREAMBLE
    + frame(BODIES["knock"])
    + frame(BODIES["confirm"])
    + frame(BODIES["set-name-japanese"])
    + frame(BODIES["join"]),
    "stream-frames-only": frame(BODIES["depart"]) + frame(BODIES["ping"]),
    "stream-other-version": b"TVXR" + struct.pack(">H", 1) + frame(BODIES["near-join-of-version-1"]),
    "stream-zero-length": PREAMBLE + frame(BODIES["ping"]) + struct.pack(">I", 0),
    "stream-length-over-cap": PREAMBLE + struct.pack(">I", 256 * 1024 + 1) + b"x" * 8,
    "stream-half-frame": PREAMBLE + frame(BODIES["join"]) + frame(BODIES["update-emoji"])[:9],
    "stream-bad-body": PREAMBLE + frame(BODIES["near-unknown-type"]) + frame(BODIES["ping"]),
}


def main():
    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "corpus")
    out.mkdir(parents=True, exist_ok=True)
    for name, data in {**BODIES, **STREAMS}.items():
        (out / name).write_bytes(data)


if __name__ == "__main__":
    main()
