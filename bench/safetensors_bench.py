#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""A checkpoint in the safetensors format into device memory, three ways, in
one run on one file, on the simulated platform, cold (the page cache dropped
before each round, as root) and warm:
 1. dgfile.safetensors.load_file, the candidate;
 2. dgfile.load of the same bytes, the whole file in one range (the ceiling;
    goal: the candidate at least 0.9 of it);
 3. the safetensors package's own load_file into NumPy, then one copy of
    each array into device memory: what a user does without us (goal: the
    candidate ahead of it).
Each way allocates its device memory inside the timed part, as a loader
must.  The ways take turns round by round (5 rounds by default); medians in
MiB/s.

    QRVD_SIM=1 safetensors_bench.py [--quick] [--size SIZE_MiB] [--rounds N] [DIRECTORY, default /var/tmp]

It needs NumPy and the safetensors package for way 3 and to write the file
(pip install numpy safetensors, in a virtual environment on Debian); without
them our writer makes the file and way 3 reads n/a.  --quick: 32 MiB, one
round, the page cache left alone (a smoke run; its figures mean little)."""
import os
import statistics
import sys
import tempfile
import time

import dgfile
import dgfile.safetensors

MiB = 1 << 20

try:
    import numpy
    import safetensors
    import safetensors.numpy
except ImportError as e:
    numpy = safetensors = None
    missing = e.name


def drop_caches():
    """The page cache dropped; the reason it cannot be, otherwise."""
    os.sync()
    try:
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3")
        return None
    except OSError as e:
        return e.strerror


def where(path):
    """The device and file system a file lies on, from /proc/self/mountinfo."""
    dev = os.stat(path).st_dev
    wanted = f"{os.major(dev)}:{os.minor(dev)}"
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            if fields[2] == wanted:
                rest = fields[fields.index("-") + 1:]
                return f"{rest[1]} ({rest[0]})"
    return f"device {wanted}"


def make_checkpoint(path, size):
    """Transformer-like tensors: per layer four square F32 weights, F16 norms
    and I64 counters, until size bytes; written by the safetensors package
    when it is there."""
    rng = numpy.random.default_rng(35) if numpy else None
    side = 1024 if size >= 256 * MiB else 256
    shapes, total, layer = {}, 0, 0
    while total < size:
        for name, shape, dtype in [("q", (side, side), "F32"), ("k", (side, side), "F32"),
                                   ("v", (side, side), "F32"), ("o", (side, side), "F32"),
                                   ("norm", (side,), "F16"), ("steps", (3,), "I64")]:
            shapes[f"layers.{layer}.{name}"] = (shape, dtype)
            total += dgfile.safetensors.Tensor(dtype, shape, 1).nbytes
        layer += 1
    if numpy is not None:
        kinds = {"F32": numpy.float32, "F16": numpy.float16, "I64": numpy.int64}
        arrays = {n: rng.standard_normal(s).astype(kinds[d]) if d != "I64" else numpy.arange(3)
                  for n, (s, d) in shapes.items()}
        safetensors.numpy.save_file(arrays, path)
        return len(arrays), total, f"the safetensors package {safetensors.__version__}"
    with dgfile.DeviceBuffer(total) as gpu:
        gpu.copy_from(os.urandom(total))
        tensors, at = {}, 0
        for n, (s, d) in shapes.items():
            tensors[n] = dgfile.safetensors.Tensor(d, s, gpu, at)
            at += tensors[n].nbytes
        dgfile.safetensors.save_file(tensors, path)
    return len(shapes), total, "dgfile.safetensors (no safetensors package here)"


def candidate(path):
    with dgfile.safetensors.load_file(path):
        pass


def ceiling(path):
    size = os.path.getsize(path)
    with dgfile.DeviceBuffer(-(-size // 4096) * 4096) as gpu:
        if dgfile.load(path, gpu) != size:
            sys.exit("dgfile.load moved less than the file")


def users_path(path):
    arrays = safetensors.numpy.load_file(path)
    with dgfile.DeviceBuffer(sum(a.nbytes for a in arrays.values())) as gpu:
        at = 0
        for a in arrays.values():
            gpu.copy_from(a, at)
            at += a.nbytes


def main():
    args = sys.argv[1:]
    quick = "--quick" in args
    size = 32 * MiB if quick else int(args[args.index("--size") + 1]) * MiB if "--size" in args else 1024 * MiB
    rounds = 1 if quick else int(args[args.index("--rounds") + 1]) if "--rounds" in args else 5
    rest = [a for i, a in enumerate(args) if not a.startswith("--") and (i == 0 or args[i - 1] not in
                                                                           ("--size", "--rounds"))]
    # A name of its own: runs at once (the suite's smoke run among them) must
    # not write each other's files.
    fd, path = tempfile.mkstemp(prefix="dgfile-safetensors-bench.", suffix=".safetensors",
                                dir=rest[0] if rest else "/var/tmp")
    os.close(fd)
    try:
        count, data, writer = make_checkpoint(path, size)
        file_size = os.path.getsize(path)
        # Once, before the figures: the candidate's bytes are the file's.
        if numpy is not None:
            expected = safetensors.numpy.load_file(path)
            with dgfile.safetensors.load_file(path) as got:
                for name in list(expected)[::max(1, len(expected) // 8)]:
                    if got[name].to_numpy().tobytes() != expected[name].tobytes():
                        sys.exit(f"{name}: dgfile.safetensors.load_file differs from the file")
        no_drop = "a smoke run leaves it alone" if quick else drop_caches()
        print(f"safetensors_bench: {path}, {file_size / MiB:.0f} MiB, {count} tensors ({data / MiB:.0f} MiB of "
              f"data) written by {writer}, on {where(path)}; chunk 1024 KiB, 8 lanes; simulated platform; "
              f"{rounds} round{'s' * (rounds > 1)}, medians")
        print("page cache: " + ("dropped before each cold round (/proc/sys/vm/drop_caches)" if no_drop is None
                                else f"not dropped ({no_drop}): the cold figures are of a file the cache may "
                                     "partly hold"))
        ways = [("dgfile.safetensors.load_file", candidate), ("dgfile.load, the same bytes (ceiling)", ceiling),
                ("safetensors.numpy.load_file + copy to device", users_path if numpy else None)]
        for cold in (True, False):
            times = {name: [] for name, _ in ways}
            for r in range(rounds):
                for name, way in ways[r % 3:] + ways[:r % 3]:  # each way first in turn
                    if way is None:
                        continue
                    if cold and no_drop is None:
                        drop_caches()
                    elif not cold:
                        with open(path, "rb") as f:
                            while f.read(64 * MiB):
                                pass
                    t0 = time.perf_counter()
                    way(path)
                    times[name].append(time.perf_counter() - t0)
            rate = {n: file_size / MiB / statistics.median(t) if t else None for n, t in times.items()}
            print(f"== {'cold' if cold else 'warm'} file")
            for name, _ in ways:
                shown = f"{rate[name]:9.0f} MiB/s" if rate[name] else \
                    f"      n/a (no {missing}: pip install numpy safetensors)"
                print(f"  {name:46} {shown}")
            ours, top, theirs = (rate[name] for name, _ in ways)
            print(f"  load_file / ceiling                            {ours / top:6.3f} (goal: at least 0.900)")
            if theirs:
                print(f"  load_file / the user's path                    {ours / theirs:6.3f} (goal: above 1)")
    finally:
        os.unlink(path)


if __name__ == "__main__":
    main()
