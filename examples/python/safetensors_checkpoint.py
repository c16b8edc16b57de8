#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Saves a model's weights from device memory as a safetensors checkpoint,
loads it back into device memory (whole, then one layer alone), and checks
every tensor against the SHA-256 of what was saved.

    safetensors_checkpoint.py PATH [--layers N] [--width N]

Each layer has a BF16 weight matrix and an F32 bias, made of random bytes in
one device allocation.  Exits 0 when every tensor came back whole, 1
otherwise.  Needs NumPy (for Tensor.to_numpy).  Without a GPU: QRVD_SIM=1."""
from __future__ import annotations

import argparse
import hashlib
import math
import os
import sys

import dgfile
import dgfile.safetensors as st


def make_model(layers: int, width: int) -> tuple[dgfile.DeviceBuffer, dict[str, st.Tensor], dict[str, str]]:
    """The model's tensors in one new device allocation, and their digests."""
    shapes: dict[str, tuple[str, tuple[int, ...]]] = {}
    for i in range(layers):
        shapes[f"layers.{i}.weight"] = ("BF16", (width, width))
        shapes[f"layers.{i}.bias"] = ("F32", (width,))
    sizes = {name: st.DTYPES[dtype].bits // 8 * math.prod(shape) for name, (dtype, shape) in shapes.items()}
    gpu = dgfile.DeviceBuffer(sum(sizes.values()))
    tensors, digests, at = {}, {}, 0
    for name, (dtype, shape) in shapes.items():
        data = os.urandom(sizes[name])
        gpu.copy_from(data, at)
        tensors[name] = st.Tensor(dtype, shape, gpu, at)
        digests[name] = hashlib.sha256(data).hexdigest()
        at += len(data)
    return gpu, tensors, digests


def verified(tensors: st.Tensors, digests: dict[str, str]) -> bool:
    ok = True
    for name, tensor in tensors.items():
        if hashlib.sha256(tensor.to_numpy().tobytes()).hexdigest() != digests[name]:
            print(f"{name}: {tensor.dtype} {tensor.shape} differs from what was saved")
            ok = False
    return ok


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path")
    parser.add_argument("--layers", type=int, default=4)
    parser.add_argument("--width", type=int, default=1024)
    args = parser.parse_args()
    gpu, tensors, digests = make_model(args.layers, args.width)
    with gpu:
        st.save_file(tensors, args.path, metadata={"layers": str(args.layers)})
    # Whole: the data section in one range, into one allocation.
    with st.load_file(args.path) as whole:
        ok = verified(whole, digests) and whole.metadata == {"layers": str(args.layers)}
    # One layer: only the range that holds its tensors is read.
    last = args.layers - 1
    with st.load_file(args.path, names=[f"layers.{last}.weight", f"layers.{last}.bias"]) as layer:
        ok = verified(layer, {name: digests[name] for name in layer}) and ok
        read = layer.buffer.size if layer.buffer else 0
    print(f"{len(tensors)} tensors, {os.path.getsize(args.path)} bytes in {args.path}; layer {last} alone "
          f"read {read} bytes: {'every tensor verified' if ok else 'TENSORS DIFFER'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
