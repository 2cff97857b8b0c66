# The Python module against the library's promises and the built sarnveld2hex (CTest passes
# its path in SARNVELD2HEX and the module's directory in PYTHONPATH).
import mmap
import os
import pathlib
import random
import subprocess

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import sarnveld

BLINKY = pathlib.Path(__file__).parents[2] / "examples" / "blinky.bin"
NOISE = random.Random(7).randbytes(100_000)


def names():
    text = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\0"),
                   max_size=20)
    return st.none() | text | st.binary(max_size=20).map(lambda b: b.replace(b"\0", b""))


def stored(name, default):
    return default if name is None else (name.encode() if isinstance(name, str) else name)[:15]


@settings(max_examples=150, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(st.binary(max_size=5000), names(), names())
def test_round_trip(image, name_id, manufacturer):
    container = sarnveld.pack(image, name_id, manufacturer)
    assert sarnveld.unpack(container) == image
    summary = sarnveld.describe(bytearray(container))
    assert summary.name_id == stored(name_id, b"ZRQ-705")
    assert summary.manufacturer == stored(manufacturer, b"Sarnveld")
    assert summary.image_size == len(image)
    assert repr(summary).startswith("Summary(name_id=" + repr(summary.name_id))


# The image, the names given to Python, and the same names on the packer's command line.
@pytest.mark.parametrize("image, names, argv", [
    (BLINKY.read_bytes(), (None, None), ["-", "-"]),
    (b"", ("BLINKY-12", b"Acme"), ["BLINKY-12", "Acme"]),
    (NOISE, ("Zähler-ü", b"\xff\x01 raw"), ["Zähler-ü".encode(), b"\xff\x01 raw"]),
    (b"\xff" * 70_000 + NOISE[:999], ("N" * 20, None), ["N" * 15, "-"]),
], ids=["blinky", "empty", "noise", "erased"])
def test_same_container_as_the_packer(tmp_path, image, names, argv):
    plain, hexfile, ours = tmp_path / "in.bin", tmp_path / "c.hex", tmp_path / "ours.hex"
    plain.write_bytes(image)
    subprocess.run([os.environ["SARNVELD2HEX"], plain, hexfile, *argv], check=True,
                   stdout=subprocess.DEVNULL)
    expected = hexfile.read_bytes()
    assert sarnveld.pack(memoryview(image), *names) == expected
    sarnveld.pack_file(plain, ours, *names)
    assert ours.read_bytes() == expected
    assert repr(sarnveld.unpack_file(hexfile)) == repr(sarnveld.describe(expected))
    dash = sarnveld.describe(sarnveld.pack(image, "-", b"-"))  # the defaults for - are argv's
    assert (dash.name_id, dash.manufacturer) == (b"-", b"-")


@pytest.fixture
def files(tmp_path):
    (tmp_path / "in.bin").write_bytes(NOISE)
    (tmp_path / "c.hex").write_bytes(sarnveld.pack(NOISE))
    (tmp_path / "bad.hex").write_bytes(sarnveld.pack(NOISE)[:-1])
    return tmp_path


# Each function's failures, and what Python itself refuses: (call on the test's directory, the
# exception, its kind, how its text starts). The kinds and messages are the C library's.
@pytest.mark.parametrize("call, error, kind, text", [
    (lambda d: sarnveld.pack_file(d / "none", d / "o"), sarnveld.Error, "EError", "Invalid Filename"),
    (lambda d: sarnveld.pack(mmap.mmap(-1, 2**31 - 1, prot=mmap.PROT_READ)), sarnveld.Error,
     "EInputTooLarge", "File memory is too large"),
    (lambda d: sarnveld.unpack(b"not a container"), sarnveld.Error, "EBadContainer", "File memory"),
    (lambda d: sarnveld.describe(sarnveld.pack(NOISE)[:-1]), sarnveld.Error, "EBadContainer",
     "Container memory is damaged"),
    (lambda d: sarnveld.unpack_file(d / "bad.hex", d / "o"), sarnveld.Error, "EBadContainer",
     "Container "),
    (lambda d: sarnveld.unpack_file(d / "c.hex", d / "c.hex"), sarnveld.Error, "EFCreateError",
     "Cannot create file "),
    (lambda d: sarnveld.pack("text"), TypeError, None, ""),
    (lambda d: sarnveld.pack(b"", 7), TypeError, None, "name_id must be"),
    (lambda d: sarnveld.pack(b"", None, "a\0b"), ValueError, None, "manufacturer holds a NUL"),
    (lambda d: sarnveld.unpack_file(3), TypeError, None, ""),
])
def test_failures(files, call, error, kind, text):
    with pytest.raises(error) as raised:
        call(files)
    assert str(raised.value).startswith(text)
    assert getattr(raised.value, "kind", None) == kind
    assert not (files / "o").exists()
    assert (files / "c.hex").read_bytes() == sarnveld.pack(NOISE)


@pytest.mark.parametrize("as_path", [str, pathlib.Path, os.fsencode])
def test_path_like_arguments(tmp_path, as_path):
    plain, hexfile, out = tmp_path / "in é.bin", tmp_path / "c.hex", tmp_path / "out.bin"
    plain.write_bytes(NOISE)
    sarnveld.pack_file(as_path(plain), as_path(hexfile), name_id="PATHS")
    summary = sarnveld.unpack_file(as_path(hexfile), as_path(out))
    assert (summary.name_id, out.read_bytes()) == (b"PATHS", NOISE)
    assert sarnveld.unpack_file(as_path(hexfile)).image_size == len(NOISE)
