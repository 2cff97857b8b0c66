# The Python module against the library's promises and the built sarnveld2hex (CTest passes
# its path in SARNVELD2HEX and the module's directory in PYTHONPATH).
import ast
import mmap
import os
import pathlib
import pickle
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
    # A value: equal to its copies, hashed alike, pickled whole; one decode gives both.
    assert sarnveld.unpack_and_describe(container) == (image, summary)
    copy = pickle.loads(pickle.dumps(summary))
    assert copy == summary and hash(copy) == hash(summary) and copy is not summary
    assert summary != sarnveld.describe(sarnveld.pack(image + b"x", name_id, manufacturer))


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


# Messages come whole, however long: here past 1,024 bytes.
def test_messages_come_whole(files):
    out = files.joinpath(*["n" * 250] * 5)
    with pytest.raises(sarnveld.Error, match="^Cannot create file " + str(out) + "$"):
        sarnveld.pack_file(files / "in.bin", out)


# An image longer than a packer writes (2^31 - 1 codes of 'a', whose code is 0) is damage.
def test_an_image_longer_than_a_packer_writes_is_refused():
    table_bits, codes = 1 + 256 + 7 + 7, 2**31 - 1
    payload = bytearray((table_bits + codes) // 8 + 1)
    for bit in (0, 1 + ord("a"), table_bits - 1, table_bits + codes):
        payload[bit // 8] |= 0x80 >> bit % 8
    header = b"ZRQ-705".ljust(16, b"\0") + b"Sarnveld".ljust(16, b"\0")
    container = header + len(payload).to_bytes(4, "little") + \
        (sum(payload) % 2**32).to_bytes(4, "little") + payload
    with pytest.raises(sarnveld.Error, match="makes the image longer than 2147483646 bytes"):
        sarnveld.describe(container)


# Type checkers see the module as it is: the stub names every function with its parameters.
def test_the_stub_states_the_module():
    stub = ast.parse((pathlib.Path(sarnveld.__file__).parent / "__init__.pyi").read_text())
    functions = {node.name: [a.arg for a in node.args.args] for node in stub.body
                 if isinstance(node, ast.FunctionDef)}
    for name in sarnveld.__all__:
        member = getattr(sarnveld, name)
        if callable(member) and not isinstance(member, type):
            parameters = member.__doc__.split("(", 1)[1].split(")", 1)[0]
            assert functions[name] == [p.split(":")[0].strip() for p in parameters.split(",")], name
