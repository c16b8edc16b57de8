# SPDX-License-Identifier: Apache-2.0
# What the Python package's tests share: the driver stand-in's controls, a
# file of random bytes, and device memory read back.
import ctypes
import os

import pytest

MiB = 1 << 20


@pytest.fixture
def sim():
    """The driver stand-in's controls; the fault is cleared after each test."""
    lib = ctypes.CDLL("libqrvd-sim.so", mode=os.RTLD_NOLOAD)
    lib.qrvd_sim_reset_counters()
    yield lib
    lib.qrvd_sim_clear_fault()


def requests(sim, failed=False):
    """The requests the simulated driver received, or of those the ones it
    failed (struct qrvd_sim_counters)."""
    counters = (ctypes.c_uint64 * 9)()
    sim.qrvd_sim_get_counters(counters)
    return counters[3 if failed else 2]


@pytest.fixture
def data(tmp_path):
    """A 3 MiB + 123 byte file of random bytes: (path, bytes)."""
    content = os.urandom(3 * MiB + 123)
    (tmp_path / "data.bin").write_bytes(content)
    return str(tmp_path / "data.bin"), content


def device_bytes(gpu, size, offset=0):
    out = bytearray(size)
    gpu.copy_to(out, offset)
    return bytes(out)
