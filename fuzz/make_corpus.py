#!/usr/bin/env python3
"""Remakes the fuzz targets' seed corpora beside their regression-* inputs: the decoder's, a mode
byte and what it describes (targets.cpp); the device reader's, the decoder's in pieces; the round
trip's, images. Needs the built Python module:
    PYTHONPATH=build/test/python fuzz/make_corpus.py      (default: build/release/python)
"""
import pathlib
import sys

here = pathlib.Path(__file__).resolve().parent
sys.path.append(str(here.parent / "build/release/python"))
from sarnveld import pack  # noqa: E402  (the packer's container, default names)


def flip(data, at, mask):
    return data[:at] + bytes([data[at] ^ mask]) + data[at + 1:]


ff, every, fibonacci, a, b = b"\xff", bytes(range(256)), b"", 1, 1
for value in range(14):  # value k F(k+1) times: codes of 14 bits
    fibonacci, a, b = fibonacci + bytes([value]) * a, b, a + b
abc, empty = pack(b"abc"), pack(b"")
decoder = {  # mode 0: a container; 1: a payload; 2: a chooser's length, raw flag, chooser, data
    **{"container-" + name: b"\0" + pack(image) for name, image in {
        "abc": b"abc", "empty": b"", "one-byte": b"\x42", "abracadabra": b"abracadabra",
        "erased-runs-in-sevens": ff * 8 + b"\0\1" + ff * 8 + b"\x10\x20" + ff * 4,
        "blinky": (here.parent / "examples/blinky.bin").read_bytes()}.items()},
    "damaged-abc-flipped-bit": b"\0" + flip(abc, 60, 4),
    "damaged-abc-cut": b"\0" + abc[:70],
    "damaged-abc-trailing-byte": b"\0" + abc + b"\0",
    "damaged-abc-checksum": b"\0" + flip(abc, 36, 1),
    "payload-abracadabra": b"\1" + pack(b"abracadabra")[40:],
    "payload-abc-entry-length": b"\1" + flip(abc[40:], 33, 1),
    "payload-abc-fill-bit": b"\1" + flip(abc[40:], 37, 1),
    "payload-empty-stray": b"\1" + empty[40:] + b"\0",
    "payload-empty-fill-bit": b"\1" + flip(empty[40:], 32, 1),
    "recoded-abracadabra": b"\2\x0b\0\7abracadabrathe quick brown fox",
    "recoded-erased-one-bit-codes":
        b"\2\x1b\0\x7f" + ff * 24 + b"\0\x12\x34" + ff * 200 + b"\0\x12\x34\x56" + ff * 52,
    "recoded-noise-eight-bit-codes": b"\2\xff\0\x7f" + every[:255] + every,
    "recoded-rare-fourteen-bit-codes-in-a-row": b"\2\xda\3\x7f" + fibonacci + b"\0\1\2\0\1",
    "recoded-raw-bits": b"\2\x0b\0\x83abracadabrasome raw bits!",
    "recoded-hello": b"\2\5\0\x32hellohello world",
    "flip-hello": b"\3\x2a\1hello, flash",  # mode 3: two bytes choose the bit; the image
    "flip-erased": b"\3\x10\x27" + ff * 40 + b"\0\x12\x34" + ff * 40,
}
trip = {"empty": b"", "one-byte": b"A", "abracadabra": b"abracadabra", "every-byte-value": every,
        "erased-flash": ff * 40 + b"\0\1\2\3 ldr r0, [pc]" + ff * 17,
        "fourteen-bit-codes": fibonacci, "one-bit-codes": b"\xff\xff\xff\0"}
corpus = here / "corpus"
for target, seeds in ("decoder", decoder), ("round_trip", trip):
    for name, seed in seeds.items():
        (corpus / target / name).write_bytes(seed)
# A byte at a time, the state copied after the third piece; pieces of 7, 0 and 255 bytes, copied
# after the seventh.
for seed in (corpus / "decoder").iterdir():
    for name, pieces in ("bytewise-", b"\x31\1"), ("pieces-", b"\x73\7\0\xff"):
        (corpus / "device" / (name + seed.name)).write_bytes(pieces + seed.read_bytes())
