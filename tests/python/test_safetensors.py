# SPDX-License-Identifier: Apache-2.0
# dgfile.safetensors on the simulated platform: every dtype through device
# memory, the ranges the loader is given, hostile files, a fuzzed header
# parser, atomic saves, and both directions with the safetensors package
# (where it is installed: install_python's virtual environment has it).
import errno
import importlib.util
import json
import os
import random
import struct

import pytest

import dgfile
import dgfile.safetensors as st
from conftest import MiB, device_bytes, requests

A = 1 << 40  # an address nothing was allocated at
SHAPES = {d: ((4, 6) if k.bits == 6 else (3, 5) if k.bits > 4 else (2, 6)) for d, k in st.DTYPES.items()}


def on_device(shapes, seed=1):
    """Tensors of random bytes in one DeviceBuffer, 8-byte aligned: {name: Tensor}, {name: bytes}."""
    rng = random.Random(seed)
    sizes = {d: st.Tensor(d, s, A).nbytes for d, s in shapes.items()}
    buf = dgfile.DeviceBuffer(sum(-(-n // 8) * 8 for n in sizes.values()) + 8)
    tensors, expected, at = {}, {}, 0
    for d, shape in shapes.items():
        expected[d] = rng.randbytes(sizes[d])
        buf.copy_from(expected[d], at)
        tensors[d] = st.Tensor(d, shape, buf, at)
        at += -(-sizes[d] // 8) * 8
    return tensors, expected


def craft(header, data=b"", length=None):
    text = header if isinstance(header, bytes) else json.dumps(header).encode()
    return struct.pack("<Q", len(text) if length is None else length) + text + data


def test_every_dtype_round_trips_through_device_memory_byte_for_byte(tmp_path):
    tensors, expected = on_device(SHAPES)
    st.save_file(tensors, tmp_path / "all.safetensors", metadata={"step": "7"})
    header = st.read_header(tmp_path / "all.safetensors")
    assert header.data_start % st.ALIGNMENT == 0 and header.metadata == {"step": "7"}
    assert all(e.begin % max(1, st.DTYPES[e.dtype].bits // 8) == 0 for e in header.entries.values())
    with st.load_file(tmp_path / "all.safetensors") as back:
        assert list(back) == [e.name for e in header.entries.values()]
        for d, t in back.items():
            assert (t.dtype, t.shape, t.to_numpy().tobytes()) == (d, SHAPES[d], expected[d])
        assert back["BF16"].to_numpy().dtype.str == "|V2" and back["F32"].to_numpy().dtype.str == "<f4"
        assert back["F4"].__dg_array_interface__["shape"] == (6,)  # packed: its bytes


def test_loads_are_whole_aligned_ranges_on_the_direct_path(sim, tmp_path):
    np = pytest.importorskip("numpy")
    arrays = {"big": np.frombuffer(os.urandom(3 * MiB + 5), np.uint8), "odd": np.arange(25, dtype=np.int32),
              "mid": np.frombuffer(os.urandom(2 * MiB), np.float32), "none": np.zeros((0, 3), np.float16)}
    path = tmp_path / "a.safetensors"
    st.save_file(arrays, path)
    header = st.read_header(path)
    for names, lo, hi in [(None, header.data_start, header.data_start + header.data_size),
                          (["odd", "none"], header.data_start + header.entries["odd"].begin,
                           header.data_start + header.entries["odd"].end)]:
        sim.qrvd_sim_reset_counters()
        with st.load_file(path, names=names, chunk_size=MiB, lanes=3) as back:
            assert sorted(back) == sorted(names or arrays)
            assert back.buffer.size == -(-hi // 4096) * 4096 - lo // 4096 * 4096  # one range, rounded out
            # One request a chunk, all direct; the whole file's last block is
            # partial, so one more read meets the end of the file.
            assert (requests(sim), requests(sim, failed=True)) == (-(-back.buffer.size // MiB) + (names is None), 0)
            for name, t in back.items():
                got = t.to_numpy()
                assert (got.dtype, got.shape, got.tobytes()) == (arrays[name].dtype, arrays[name].shape,
                                                                 arrays[name].tobytes())
            if names is None:  # saved again from device memory, with lanes at unaligned offsets
                st.save_file(back, tmp_path / "again.safetensors", chunk_size=65536, lanes=3)
                assert (tmp_path / "again.safetensors").read_bytes() == path.read_bytes()
    # Into the caller's memory: its bytes and no others.
    with dgfile.DeviceBuffer(16384) as gpu:
        gpu.copy_from(b"\xaa" * 16384)
        back = st.load_file(path, device={"odd": st.Tensor("U8", (100,), gpu, 4097)})
        assert back.buffer is None and back["odd"].to_numpy().tobytes() == arrays["odd"].tobytes()
        assert device_bytes(gpu, 16384) == b"\xaa" * 4097 + arrays["odd"].tobytes() + b"\xaa" * (16384 - 4197)
    with pytest.raises(ValueError, match="holding this tensor is closed"):
        st.load_file(path, device={"odd": back["odd"]})  # freed memory is never written


def entry(dtype="U8", shape=(4,), begin=0, end=4):
    return {"dtype": dtype, "shape": list(shape), "data_offsets": [begin, end]}


HOSTILE = [
    ("short", b"\x01\x00", "too short for a header length"),
    ("length past the file", craft({"a": entry()}, bytes(4), 1000), "runs past the end of the file"),
    ("length over the bound", craft({}, length=100_000_001), "over the limit of 100000000"),
    ("not JSON", craft(b'{"a":'), "not valid JSON"),
    ("not an object", craft(b"[1, 2]"), "JSON list, not an object"),
    ("not UTF-8", craft(b'{"\xff":1}'), "not UTF-8"),
    ("nested deep", craft(b"[" * 100000), "nests too deeply"),
    ("duplicate names", craft(b'{"a":{"dtype":"U8","shape":[4],"data_offsets":[0,4]},"a":{}}', bytes(4)),
     "'a' appears twice"),
    ("unknown dtype", craft({"a": entry("F128")}, bytes(4)), 'unknown dtype "F128"'),
    ("NaN dimension", craft(b'{"a":{"dtype":"U8","shape":[NaN],"data_offsets":[0,4]}}', bytes(4)),
     r"integer from 0 to 2\*\*64-1, not NaN"),
    ("negative dimension", craft({"a": entry(shape=(-4,))}, bytes(4)), "not -4"),
    ("product overflows", craft({"a": entry(shape=(1 << 32, 1 << 32, 0), end=0)}), "overflows"),  # before the 0
    ("shape disagrees", craft({"a": entry("F32", (2,))}, bytes(4)), "is 8 bytes, but .* hold 4"),
    ("half a byte", craft({"a": entry("F4", (3,), 0, 2)}, bytes(2)), "byte boundary"),
    ("offsets reversed", craft({"a": entry(shape=(0,), begin=4, end=0)}, bytes(4)), "out of order"),
    ("overlap", craft({"a": entry(), "b": entry(begin=2, end=6)}, bytes(6)), "'b'.* overlaps"),
    ("hole", craft({"a": entry(), "b": entry(begin=6, end=10)}, bytes(10)), "'b'.* leaves a hole after offset 4"),
    ("past the data", craft({"a": entry()}, bytes(3)), "shorter than its header says"),
    ("bytes after", craft({"a": entry()}, bytes(5)), "bytes after the last tensor"),
    ("metadata not strings", craft({"__metadata__": {"k": 1}}), "__metadata__ must be an object of strings"),
    ("entry not an object", craft({"a": [0, 4]}), "'a' must be an object"),
]


@pytest.mark.parametrize("blob,message", [c[1:] for c in HOSTILE], ids=[c[0] for c in HOSTILE])
def test_hostile_files_are_refused_before_anything_moves(sim, tmp_path, blob, message):
    (tmp_path / "h.safetensors").write_bytes(blob)
    with pytest.raises(ValueError, match=message):
        st.load_file(tmp_path / "h.safetensors")
    assert requests(sim) == 0


@pytest.mark.parametrize("kwargs,error,message", [
    (dict(names=["nope"]), ValueError, "no tensor named 'nope'"),
    (dict(names="a"), TypeError, "not a str"),
    (dict(names=["a"], device={}), ValueError, "device has no memory for the tensor 'a'"),
    (dict(device=5), TypeError, "device must be None or a mapping"),
    (dict(lanes=0), ValueError, "lanes must be positive"),
])
def test_bad_load_arguments(tmp_path, kwargs, error, message):
    (tmp_path / "a.safetensors").write_bytes(craft({"a": entry()}, bytes(4)))
    with pytest.raises(error, match=message):
        st.load_file(tmp_path / "a.safetensors", **kwargs)


def test_fuzzed_headers_are_refused_or_tile_the_data_section():
    """Mutations of valid files: the parser refuses them with ValueError or
    returns tensors that tile the data section, as the format's own reader
    accepts or refuses the same bytes (where the safetensors package is)."""
    safetensors = importlib.import_module("safetensors") if importlib.util.find_spec("safetensors") else None
    seeds = [craft({"__metadata__": {"k": "v"}, "a": entry("F32", (2, 3), 0, 24), "b": entry("BF16", (4,), 24, 32),
                    "e": entry(shape=(0,), begin=32, end=32), "f": entry("F4", (2, 2), 32, 34)}, bytes(34)),
             craft(b'{"z":{"dtype":"I64","shape":[],"data_offsets":[0,8]}}  ', bytes(8))]
    rng, accepted = random.Random(35), 0
    for _ in range(4000):
        blob = bytearray(rng.choice(seeds))
        for _ in range(rng.randint(1, 3)):
            at, op = rng.randrange(len(blob)), rng.randrange(4)
            if op == 0:
                blob[at] = rng.choice(b'{}[]",:0123456789-. eE\\aZ_' if rng.random() < 0.8 else range(256))
            elif op == 1:
                del blob[at:at + rng.randint(1, 8)]
            elif op == 2:
                src = rng.randrange(len(blob))
                blob[at:at] = blob[src:src + rng.randint(1, 16)]
            else:
                blob[:8] = struct.pack("<Q", max(0, int.from_bytes(blob[:8], "little") + rng.randint(-3, 3)))
        blob = bytes(blob)
        try:
            header, twice = st._parse(blob, len(blob)), False
        except ValueError as e:
            header, twice = None, "appears twice" in str(e)  # theirs keeps the last of a name
        if header is not None:
            accepted += 1
            spans = sorted((e.begin, e.end) for e in header.entries.values())
            assert [b for b, _ in spans] == [0] + [e for _, e in spans[:-1]] and spans[-1][1] == header.data_size
        if safetensors is not None and not twice:
            try:
                safetensors.deserialize(blob)
                theirs = True
            except Exception:
                theirs = False
            assert theirs == (header is not None), blob
    assert accepted > 40  # the mutations reach past the refusals


def test_saving_refuses_what_it_cannot_write_and_leaves_the_target_whole(sim, tmp_path, monkeypatch):
    np = pytest.importorskip("numpy")
    target = tmp_path / "t.safetensors"
    target.write_bytes(b"old")
    interface = type("I", (), {"__dg_array_interface__": {"data": A, "typestr": ">f4", "shape": (4,)}})()
    with dgfile.DeviceBuffer(8) as gone:
        stale = st.Tensor("U8", (8,), gone)
    cases = [
        ({"__metadata__": np.zeros(2)}, {}, ValueError, "not a tensor name"),
        ({1: np.zeros(2)}, {}, TypeError, "names must be str"),
        ({"a": dgfile.DeviceBuffer(8)}, {}, TypeError, "wrap device memory as Tensor"),
        ({"a": np.zeros(2, np.complex128)}, {}, ValueError, "complex128 has no dtype"),
        ({"a": interface}, {}, ValueError, "typestr '>f4' names no dtype"),
        ({"a": stale}, {}, ValueError, "holding this tensor is closed"),
        ({"a": np.zeros(2)}, dict(metadata={"k": 1}), TypeError, "metadata must be"),
        ({"a": np.zeros(2)}, dict(chunk_size=0), ValueError, "chunk_size must be positive"),
        ({"host": np.zeros(4), "device": on_device({"F32": (256,)})[0]["F32"]}, {}, dgfile.Error, "transfer failed"),
    ]
    monkeypatch.setenv("DGFILE_DISABLE_CPU", "YES")  # with the driver refusing all, the store fails
    sim.qrvd_sim_set_fault(1, errno.EIO, 1)
    for tensors, kwargs, error, message in cases:
        with pytest.raises(error, match=message):
            st.save_file(tensors, target, **kwargs)
        assert target.read_bytes() == b"old" and os.listdir(tmp_path) == ["t.safetensors"]
    with pytest.raises(ValueError, match="run past the device memory's 8 bytes"):
        st.Tensor("F32", (2,), dgfile.DeviceBuffer(8), 4)


def test_files_interoperate_with_the_safetensors_package(tmp_path):
    safetensors = pytest.importorskip("safetensors", reason="the safetensors package is not installed here")
    import numpy as np
    from safetensors.numpy import load_file, save_file

    # Theirs, read by us: every dtype of its NumPy API, the others as raw tensors.
    arrays = {d: np.frombuffer(os.urandom(15 * k.bits // 8), k.typestr).reshape(3, 5)
              for d, k in st.DTYPES.items() if "V" not in k.typestr}
    save_file(arrays, tmp_path / "theirs.safetensors", metadata={"from": "them"})
    kinds = {"bfloat16": "BF16", "float8_e4m3fn": "F8_E4M3", "float8_e5m2": "F8_E5M2", "float8_e8m0fnu": "F8_E8M0",
             "float4_e2m1fn_x2": "F4"}
    raw = {d: np.frombuffer(os.urandom(12), np.uint8) for d in kinds}
    described = {d: safetensors.TensorSpec(dtype=d, shape=[6 if d == "bfloat16" else 12], data_ptr=a.ctypes.data,
                                       data_len=12) for d, a in raw.items()}
    safetensors.serialize_file(described, tmp_path / "raw.safetensors")
    with st.load_file(tmp_path / "theirs.safetensors") as ours, st.load_file(tmp_path / "raw.safetensors") as ours_raw:
        assert ours.metadata == {"from": "them"} and len(ours_raw) == len(raw)
        for d, a in arrays.items():
            got = ours[d].to_numpy()
            assert got.dtype == a.dtype and got.shape == a.shape and got.tobytes() == a.tobytes()
        for name, t in ours_raw.items():
            assert (t.dtype, t.to_numpy().tobytes()) == (kinds[name], raw[name].tobytes())
    # Ours, read by them: every dtype.
    tensors, expected = on_device(SHAPES, seed=2)
    st.save_file(tensors, tmp_path / "ours.safetensors", metadata={"from": "us"})
    theirs = dict(safetensors.deserialize((tmp_path / "ours.safetensors").read_bytes()))
    assert {d: (t["dtype"], tuple(t["shape"]), bytes(t["data"])) for d, t in theirs.items()} == {
        d: (d, SHAPES[d], expected[d]) for d in SHAPES}
    with safetensors.safe_open(tmp_path / "ours.safetensors", "numpy") as f:
        assert f.metadata() == {"from": "us"}
    st.save_file({d: tensors[d] for d in arrays}, tmp_path / "numpy.safetensors")
    assert {d: a.tobytes() for d, a in load_file(tmp_path / "numpy.safetensors").items()} == {
        d: expected[d] for d in arrays}
