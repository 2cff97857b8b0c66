# What the Python module adds to the library: values, typed errors, bytes-like and path-like
# arguments (CTest passes the module's directory in PYTHONPATH).
import ast
import os
import pathlib
import pickle
import random
import sys
import threading
import time

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import sarnveld

# Past the 1 MiB a thread keeps for an image, and mostly zeros: unpacked in memory, its room is
# the most its payload could decode to, well past its length.
NOISE = random.Random(7).randbytes(100_000) * 6 + bytes(1 << 20)

NAMES = (st.none() | st.binary(max_size=20).map(lambda b: b.replace(b"\0", b"")) |
         st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\0"),
                 max_size=20))


def stored(name, default):
    return default if name is None else (name.encode() if isinstance(name, str) else name)[:15]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.binary(max_size=5000), NAMES, NAMES)
def test_round_trip(image, name_id, manufacturer):
    container = sarnveld.pack(memoryview(image), name_id, manufacturer)
    assert sarnveld.unpack(container) == image
    summary = sarnveld.describe(bytearray(container))
    assert summary.name_id == stored(name_id, b"ZRQ-705")
    assert summary.manufacturer == stored(manufacturer, b"Sarnveld")
    # A value: equal to its copies, hashed alike, pickled whole, unequal to another image's and to
    # what is no Summary; one decode gives both.
    assert sarnveld.unpack_and_describe(container) == (image, summary)
    copy = pickle.loads(pickle.dumps(summary))
    assert copy == summary and hash(copy) == hash(summary) and copy is not summary
    assert summary != sarnveld.describe(sarnveld.pack(image + b"\0")) and summary != image
    shown = eval(repr(summary), {"Summary": dict})
    assert shown == {field: getattr(summary, field) for field in shown} and len(shown) == 8
    # Summary.__new__ alone (as a pickle without its state) makes a blank value, not one of
    # memory as it was found.
    blank = eval(repr(sarnveld.Summary.__new__(sarnveld.Summary)), {"Summary": dict})
    assert blank == dict.fromkeys(shown, 0) | {"name_id": b"", "manufacturer": b""}


@pytest.fixture
def files(tmp_path):
    (tmp_path / "in é.bin").write_bytes(NOISE)
    return tmp_path


# The library's failures as sarnveld.Error with their kind, whole past the C face's 1,024 bytes
# (the C++ tests have each failure), and what Python refuses: (call on the directory, the
# exception, its kind, how its text starts, "{d}" the directory).
LONG = "/".join(["n" * 250] * 5)


@pytest.mark.parametrize("call, error, kind, text", [
    (lambda d: sarnveld.pack_file(d / "in é.bin", d / LONG), sarnveld.Error, "EFCreateError",
     "Cannot create file {d}/" + LONG),
    (lambda d: sarnveld.pack_file(d / "in é.bin", os.fsdecode(os.fsencode(d) + b"/\xff/o")),
     sarnveld.Error, "EFCreateError", "Cannot create file {d}/\\xff/o"),
    (lambda d: sarnveld.pack("text"), TypeError, None, ""),
    (lambda d: sarnveld.pack(memoryview(b"abcdef")[::2]), BufferError, None, "memoryview: "),
    (lambda d: sarnveld.pack(b"", 7), TypeError, None, "name_id must be"),
    (lambda d: sarnveld.pack(b"", None, "a\0b"), ValueError, None, "manufacturer holds a NUL"),
    (lambda d: sarnveld.pack(b"", b"a\0b"), ValueError, None, "name_id holds a NUL"),
    (lambda d: sarnveld.unpack_file(d / "c\0.hex"), ValueError, None, "hexfile holds a NUL"),
    (lambda d: sarnveld.unpack_file(3), TypeError, None, ""),
    (lambda d: sarnveld.describe(sarnveld.pack(b"")).__setstate__(()), TypeError, None,
     "a Summary is immutable"),
    (lambda d: sarnveld.Summary.__new__(sarnveld.Summary).__setstate__((0,) * 9), ValueError, None,
     "a Summary has 8 fields"),
])
def test_failures(files, call, error, kind, text):
    with pytest.raises(error) as raised:
        call(files)
    assert str(raised.value).startswith(text.format(d=files))
    assert getattr(raised.value, "kind", None) == kind


@pytest.mark.parametrize("as_path", [str, pathlib.Path, os.fsencode])
def test_path_like_arguments(files, as_path):
    sarnveld.pack_file(as_path(files / "in é.bin"), as_path(files / "c.hex"), name_id="PATHS")
    summary = sarnveld.unpack_file(as_path(files / "c.hex"), as_path(files / "o"))
    assert (summary.name_id, (files / "o").read_bytes()) == (b"PATHS", NOISE)
    assert sarnveld.unpack_file(as_path(files / "c.hex")).image_size == len(NOISE)
    # Without a plainfile nothing is written; in memory the image comes back at its own length.
    assert sorted(p.name for p in files.iterdir()) == ["c.hex", "in é.bin", "o"]
    assert sarnveld.unpack((files / "c.hex").read_bytes()) == NOISE


# A call runs without the GIL, on a copy of a buffer that other threads may change meanwhile:
# here one that rewrites it whole, now noise, now zeros. With a long switch interval that thread
# takes the GIL only where this one lets it go, so a rewrite counted across a call ran inside it;
# on a busy machine that may take many calls.
def test_other_threads_run_meanwhile_and_cannot_change_the_input():
    image, states, rewrites, done = bytearray(NOISE), (NOISE, bytes(len(NOISE))), [0], []

    def rewrite():
        while not done:
            image[:] = states[rewrites[0] % 2]
            rewrites[0] += 1
            time.sleep(0.0001)  # lets the GIL go

    interval = sys.getswitchinterval()
    sys.setswitchinterval(30)
    threading.Thread(target=rewrite, daemon=True).start()
    try:
        for _ in range(2000):
            before = rewrites[0]
            container = sarnveld.pack(image)
            ran = rewrites[0] > before
            assert sarnveld.unpack(container) in states
            if ran:
                return
        pytest.fail("no other thread ran while a container was packed")
    finally:
        done.append(True)
        sys.setswitchinterval(interval)


# Type checkers see the module as it is: the stub names every function with its parameters,
# and Debian's mypy takes it, so that a call with no bytes-like argument is refused, not let
# through as Any. And the module is the library's version.
def test_the_stub_states_the_module():
    assert sarnveld.__version__ == os.environ["SARNVELD_VERSION"]
    stub = ast.parse((pathlib.Path(sarnveld.__file__).parent / "__init__.pyi").read_text())
    functions = {node.name: [a.arg for a in node.args.args] for node in stub.body
                 if isinstance(node, ast.FunctionDef)}
    for name in sarnveld.__all__:
        member = getattr(sarnveld, name)
        if callable(member) and not isinstance(member, type):
            parameters = member.__doc__.split("(", 1)[1].split(")", 1)[0]
            assert functions[name] == [p.split(":")[0].strip() for p in parameters.split(",")], name
    mypy = pytest.importorskip("mypy.api")
    found, _, status = mypy.run(["--cache-dir=/dev/null", "-c",
                                 "import sarnveld; sarnveld.pack(5)"])
    assert status == 1 and found.count("error:") == 1 and 'type "int"' in found, found
