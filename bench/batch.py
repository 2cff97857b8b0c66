#!/usr/bin/env python3
"""Batch benchmark: packs and describes 1,000 flash-like images of 64 KiB through the Python
module, through the programs (sarnveld2hex, then hex2plain, spawned per image on files in a
temporary directory) and, for scale, through zlib.compress(data, 1); then packs them on two
threads at once and on one. Interleaved runs, medians, images per second and ratios.

    bench/batch.py                      builds the bench preset, as bench/compare does
    BUILD=build/release RUNS=5 IMAGES=1000 bench/batch.py
"""
import os
import random
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUNS = int(os.environ.get("RUNS", "3"))
COUNT = int(os.environ.get("IMAGES", "1000"))
SIZE = 64 * 1024


def images(count, size):
    """Deterministic flash-like images: functions built from a small vocabulary of Thumb-like
    halfwords with few opcode bytes, tables of small words, and erased runs of 0xFF."""
    rng = random.Random(2026)
    vocabulary = [bytes([rng.randrange(256), 0x40 + rng.randrange(24) * 8]) for _ in range(300)]
    functions = [b"".join(rng.choices(vocabulary, k=rng.randrange(16, 400))) for _ in range(200)]
    tables = [b"".join(rng.randrange(0, 4096).to_bytes(4, "little") for _ in range(64))
              for _ in range(20)]
    for _ in range(count):
        image = bytearray()
        used = rng.uniform(0.4, 0.95) * size  # the rest stays erased
        while len(image) < used:
            pick = rng.random()
            if pick < 0.8:
                image += rng.choice(functions)
            elif pick < 0.9:
                image += rng.choice(tables)
            else:
                image += b"\xff" * rng.randrange(16, 2048)
        image = image[:size]
        yield bytes(image + b"\xff" * (size - len(image)))


def timed(work):
    """Seconds, and the cores the process kept busy meanwhile."""
    start, cpu = time.perf_counter(), time.process_time()
    work()
    seconds = time.perf_counter() - start
    return seconds, (time.process_time() - cpu) / seconds


def main():
    build = os.environ.get("BUILD")
    if not build:
        print("building the bench preset (Release)...", flush=True)
        subprocess.run(["cmake", "--workflow", "--preset", "bench"], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
        build = os.path.join(ROOT, "build", "bench")
    sys.path.insert(0, os.path.join(build, "python"))
    import sarnveld

    packer, unpacker = os.path.join(build, "sarnveld2hex"), os.path.join(build, "hex2plain")
    data = list(images(COUNT, SIZE))
    scratch = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(dir=scratch) as directory:
        plains = [os.path.join(directory, f"{i}.bin") for i in range(COUNT)]
        for path, image in zip(plains, data):
            with open(path, "wb") as out:
                out.write(image)

        def module():
            for image in data:
                sarnveld.describe(sarnveld.pack(image))

        def programs():
            for plain in plains:
                hexfile = plain[:-3] + "hex"
                subprocess.run([packer, plain, hexfile, "-", "-"], check=True,
                               stdout=subprocess.DEVNULL)
                subprocess.run([unpacker, hexfile], check=True, stdout=subprocess.DEVNULL)

        def compress():
            for image in data:
                zlib.compress(image, 1)

        def pack(part):
            for image in part:
                sarnveld.pack(image)

        def on_threads(*works):
            # Both sides on threads of their own: glibc's main arena can return freed memory
            # to the system after each call, and the main thread then faults it in again.
            def run():
                threads = [threading.Thread(target=work) for work in works]
                for thread in threads:
                    thread.start()
                for thread in threads:
                    thread.join()
            return run

        rows = [("sarnveld.pack + describe", module),
                ("the same, on a thread", on_threads(module)),
                ("sarnveld2hex + hex2plain, spawned", programs),
                ("zlib.compress(data, 1)", compress),
                ("sarnveld.pack, one thread", on_threads(lambda: pack(data))),
                ("sarnveld.pack, two threads at once",
                 on_threads(lambda: pack(data[0::2]), lambda: pack(data[1::2])))]
        times, cores = {name: [] for name, _ in rows}, {name: [] for name, _ in rows}
        for _ in range(RUNS):
            for name, work in rows:
                seconds, busy = timed(work)
                times[name].append(seconds)
                cores[name].append(busy)
        with open(plains[0][:-3] + "hex", "rb") as container:
            same = container.read() == sarnveld.pack(data[0])

    packed = sum(len(sarnveld.pack(image)) for image in data)
    print(f"{COUNT} images of {SIZE // 1024} KiB, median of {RUNS} interleaved runs; "
          f"packed to {100 * packed / (COUNT * SIZE):.1f} % "
          f"(zlib -1: {100 * sum(len(zlib.compress(i, 1)) for i in data) / (COUNT * SIZE):.1f} %); "
          f"the module's container {'is' if same else 'IS NOT'} the packer's")
    rate = {name: COUNT / statistics.median(seconds) for name, seconds in times.items()}
    reference = rate["sarnveld.pack + describe"]
    print(f"{'':36} {'images/s':>10} {'vs module':>10}")
    for name, _ in rows:
        print(f"{name:36} {rate[name]:10.0f} {rate[name] / reference:9.2f}x")
    two, one = "sarnveld.pack, two threads at once", "sarnveld.pack, one thread"
    print(f"two threads packing at once vs one after the other: {rate[two] / rate[one]:.2f}x, "
          f"keeping {statistics.median(cores[two]):.2f} cores busy against "
          f"{statistics.median(cores[one]):.2f} (of {os.cpu_count()}, shared with whatever else runs)")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
