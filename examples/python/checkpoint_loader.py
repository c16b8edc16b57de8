#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Loads a sharded checkpoint into device memory with a thread pool, then
verifies every shard against its checksum in the checkpoint's index.

    checkpoint_loader.py DIR [--threads N]
    checkpoint_loader.py DIR --make SHARDS [--shard-size BYTES]   (writes one first)

DIR holds index.json ({"shards": [{"file", "size", "sha256"}, ...]}) and the
shard files.  Each shard goes to its own place in one device allocation,
read by dgfile.load on a worker thread: the interpreter lock is released
during the reads, so the threads overlap.  Exits 0 when every shard arrived
whole and matches, 1 otherwise.  Without a GPU: QRVD_SIM=1."""
from __future__ import annotations

import argparse
import concurrent.futures
import hashlib
import json
import os
import sys
from typing import Any

import dgfile


def make_checkpoint(directory: str, shards: int, shard_size: int) -> None:
    index: list[dict[str, Any]] = []
    for i in range(shards):
        data = os.urandom(shard_size)
        name = f"shard-{i:05d}.bin"
        with open(os.path.join(directory, name), "wb") as out:
            out.write(data)
        index.append({"file": name, "size": shard_size, "sha256": hashlib.sha256(data).hexdigest()})
    with open(os.path.join(directory, "index.json"), "w") as out:
        json.dump({"shards": index}, out)


def load_checkpoint(directory: str, threads: int) -> bool:
    with open(os.path.join(directory, "index.json")) as f:
        shards: list[dict[str, Any]] = json.load(f)["shards"]
    # Each shard starts on a 4 KiB boundary of the allocation.
    places = []
    total = 0
    for shard in shards:
        places.append(total)
        total += (shard["size"] + 4095) // 4096 * 4096
    with dgfile.DeviceBuffer(max(total, 1)) as gpu:

        def load(i: int) -> int:
            path = os.path.join(directory, shards[i]["file"])
            return dgfile.load(path, gpu.ptr + places[i], size=shards[i]["size"])

        with concurrent.futures.ThreadPoolExecutor(threads) as pool:
            arrived = list(pool.map(load, range(len(shards))))
        ok = True
        for i, shard in enumerate(shards):
            host = bytearray(shard["size"])
            gpu.copy_to(host, places[i])
            if arrived[i] != shard["size"] or hashlib.sha256(host).hexdigest() != shard["sha256"]:
                print(f"{shard['file']}: {arrived[i]} of {shard['size']} bytes arrived, "
                      f"checksum {'differs' if arrived[i] == shard['size'] else 'not checked'}")
                ok = False
    size = sum(s["size"] for s in shards)
    print(f"{len(shards)} shards, {size} bytes, {threads} threads: "
          f"{'every shard verified' if ok else 'SHARDS DIFFER'}")
    return ok


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("directory")
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--make", type=int, metavar="SHARDS")
    parser.add_argument("--shard-size", type=int, default=4 << 20)
    args = parser.parse_args()
    if args.make:
        make_checkpoint(args.directory, args.make, args.shard_size)
    return 0 if load_checkpoint(args.directory, args.threads) else 1


if __name__ == "__main__":
    sys.exit(main())
