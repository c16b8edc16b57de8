# SPDX-License-Identifier: Apache-2.0
# The Python package on the simulated platform (QRVD_SIM=1), in a sandboxed
# child started by run_sandboxed (tests/python/CMakeLists.txt).
import ast
import asyncio
import ctypes
import gc
import importlib.metadata
import os
import re
import signal
import subprocess
import sys
import threading
import time
import weakref

import pytest

import dgfile
from conftest import MiB, device_bytes, requests

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_file_round_trip_through_the_simulated_driver(sim, data, tmp_path):
    path, content = data
    with dgfile.DeviceBuffer(4 * MiB) as gpu, dgfile.File(path) as f:
        assert f.read(gpu, MiB, file_offset=MiB) == MiB
        assert device_bytes(gpu, MiB) == content[MiB:2 * MiB]
        assert requests(sim) == 1  # the direct path, not the CPU copy
        assert f.read(gpu, 4 * MiB) == len(content)  # short at the end of the file
        with pytest.raises(dgfile.Error) as e:
            f.read_exact(gpu, 4 * MiB)
        assert (e.value.status, e.value.name, e.value.moved) == (
            dgfile.Status.END_OF_FILE, "END_OF_FILE", len(content))
        with dgfile.File(tmp_path / "out.bin", "w") as out:
            assert out.write_exact(gpu, 2 * MiB, 4096, 0) == 2 * MiB
        fd = f.fd
    assert f.closed and (tmp_path / "out.bin").read_bytes()[4096:] == content[:2 * MiB]
    with pytest.raises(OSError):
        os.fstat(fd)  # the File opened it, so closing closed it


def test_descriptors_stay_the_callers(data):
    path, content = data
    fd = os.open(path, os.O_RDONLY | os.O_DIRECT)
    with dgfile.DeviceBuffer(MiB) as gpu, dgfile.File(fd) as f:
        assert f.read_exact(gpu, MiB) == MiB and f.name is None
    os.fstat(fd)  # still open
    os.close(fd)
    fd = os.open(path, os.O_RDONLY)
    with pytest.raises(dgfile.Error) as e:
        dgfile.File(fd)
    os.close(fd)
    assert e.value.status == dgfile.Status.DIO_NOT_SET
    with pytest.raises(FileNotFoundError):
        dgfile.File(path + ".missing")


def test_a_failed_transfer_raises_what_the_library_reported(data, tmp_path):
    path, _ = data
    with dgfile.DeviceBuffer(MiB) as gpu, dgfile.File(tmp_path / "w.bin", "w") as f:
        with pytest.raises(dgfile.Error, match="dgfile.File.read: transfer failed") as e:
            f.read(gpu, 4096)  # a write-only descriptor: the driver and the CPU copy fail
        assert isinstance(e.value.status, dgfile.Status) and e.value.status == 6001


def test_batch_keeps_cookies_alive_and_hands_them_back(sim, data):
    path, content = data

    class Cookie:
        pass

    cookies = [Cookie() for _ in range(4)]
    alive = [weakref.ref(c) for c in cookies]
    with dgfile.File(path) as f, dgfile.DeviceBuffer(4 * MiB) as gpu, dgfile.Batch(4) as batch:
        batch.submit([dgfile.Request(dgfile.READ, f, gpu, MiB, i * MiB, i * MiB, c)
                      for i, c in enumerate(cookies)])
        del cookies
        gc.collect()
        assert all(r() is not None for r in alive)  # held while in flight
        with pytest.raises(ValueError, match="batch request"):
            f.close()
        with pytest.raises(dgfile.Error) as e:
            batch.submit([])
        assert e.value.status == dgfile.Status.BATCH_SUBMIT_FAILED
        done = batch.poll(1) + batch.wait()
        assert sorted(c.result for c in done) == [123, MiB, MiB, MiB]
        assert {id(c.cookie) for c in done} == {id(r()) for r in alive}
        assert all(c.status == dgfile.IoStatus.COMPLETE for c in done) and batch.pending == 0
        del done
        gc.collect()
        assert all(r() is None for r in alive)  # released once collected
        assert device_bytes(gpu, len(content)) == content
        sim.qrvd_sim_set_fault(6, 100000, 1)  # each request 100 ms: cancel finds them running
        batch.submit([dgfile.Request(dgfile.READ, f, gpu, 4096, 0, 0, "a")])
        batch.cancel()
        assert [c.cookie for c in batch.wait()] == ["a"]


def test_poll_for_more_than_is_outstanding_waits_for_all_of_it(data):
    with dgfile.File(data[0]) as f, dgfile.DeviceBuffer(MiB) as gpu, dgfile.Batch(4) as batch:
        batch.submit([dgfile.Request(dgfile.READ, f, gpu, 4096, cookie="one")])
        assert [(c.cookie, c.result) for c in batch.poll(2)] == [("one", 4096)]
        assert batch.poll(4) == [] and batch.pending == 0


def test_forked_child_closes_what_parent_threads_were_reading_through(sim, data):
    sim.qrvd_sim_set_fault(6, 500000, 1)  # each request 500 ms in the driver
    with dgfile.DeviceBuffer(MiB) as gpu, dgfile.File(data[0]) as f, dgfile.File(data[0]) as g, \
            dgfile.Batch(1) as batch:  # one handle takes one transfer at a time: two files
        batch.submit([dgfile.Request(dgfile.READ, g, gpu, 4096, 4096, 4096)])
        threads = [threading.Thread(target=f.read, args=(gpu, 4096)), threading.Thread(target=batch.wait)]
        for t in threads:
            t.start()
        while requests(sim) < 2:
            time.sleep(0.001)
        time.sleep(0.05)  # the waiting thread is in the library's poll
        pid = os.fork()  # the child has neither thread: what they held is free there
        if pid == 0:
            try:
                assert [c.status for c in batch.wait()] == [dgfile.IoStatus.CANCELED]
                for closable in (f, g, gpu):
                    closable.close()
                os._exit(0)
            finally:
                os._exit(1)
        deadline, ended, status = time.monotonic() + 10, 0, 0
        while not ended and time.monotonic() < deadline:
            ended, status = os.waitpid(pid, os.WNOHANG)
            time.sleep(0.01)
        if not ended:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        for t in threads:
            t.join()
        assert ended and os.waitstatus_to_exitcode(status) == 0, "the child hung or failed"


@pytest.mark.parametrize("size,chunk,lanes,offset", [
    (1, 4096, 8, 0), (4095, 4096, 3, 1), (3 * MiB + 123, 65536 + 512, 3, 0), (2 * MiB - 7, MiB, 8, 4096 + 3)])
def test_load_and_store_odd_sizes(data, tmp_path, size, chunk, lanes, offset):
    path, content = data
    with dgfile.DeviceBuffer(4 * MiB) as gpu:
        n = dgfile.load(path, gpu, chunk_size=chunk, lanes=lanes, offset=offset, size=size)
        assert n == min(size, len(content) - offset)
        assert device_bytes(gpu, n) == content[offset:offset + n]
        with dgfile.File(path) as f:  # the whole rest of the file
            assert dgfile.load(f, gpu, offset=offset) == len(content) - offset
        out = tmp_path / "out.bin"
        assert dgfile.store(out, gpu, chunk_size=chunk, lanes=lanes, offset=offset, size=n) == n
        assert out.read_bytes() == bytes(offset) + content[offset:offset + n]
        assert dgfile.store(out, gpu, lanes=lanes) == 4 * MiB  # the buffer's extent, into an emptied file
        assert out.read_bytes() == device_bytes(gpu, 4 * MiB)


def test_a_refused_chunk_ends_the_load_where_it_begins(sim, data, monkeypatch):
    path, content = data
    monkeypatch.setenv("DGFILE_DISABLE_CPU", "YES")  # no CPU copy to fall back on
    sim.qrvd_sim_set_fault(1, 5, 3)  # the third request: EIO
    with dgfile.DeviceBuffer(4 * MiB) as gpu:
        with pytest.raises(dgfile.Error, match="dgfile.load: transfer failed") as e:
            dgfile.load(path, gpu, chunk_size=MiB, lanes=1)
        assert e.value.status == dgfile.Status.TRANSFER_FAILED and e.value.moved == 2 * MiB
        assert device_bytes(gpu, 2 * MiB) == content[:2 * MiB]


def test_progress_and_ctrl_c_stop_the_lanes_and_leave_nothing_running(sim, data, tmp_path):
    path, content = data
    sim.qrvd_sim_set_fault(6, 20000, 1)  # each request 20 ms in the driver
    calls = []
    with dgfile.DeviceBuffer(4 * MiB) as gpu, dgfile.File(path) as f:
        n = dgfile.load(f, gpu, chunk_size=65536, lanes=2,
                        progress=lambda done, total: calls.append((done, total, threading.get_ident())))
        assert n == len(content) and device_bytes(gpu, n) == content
        assert calls and all(t == len(content) and i == threading.get_ident() for _, t, i in calls)
        assert [d for d, _, _ in calls] == sorted(d for d, _, _ in calls) and calls[-1][0] < len(content)

        class Stop(Exception):
            pass

        def stop(done, total):
            raise Stop

        def ctrl_c():  # SIGINT from another thread while the lanes run, no progress callable
            threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
            dgfile.load(f, gpu, chunk_size=4096, lanes=2)

        for call, error in [(lambda: dgfile.load(f, gpu, chunk_size=4096, lanes=2, progress=stop), Stop),
                            (ctrl_c, KeyboardInterrupt),
                            (lambda: dgfile.store(tmp_path / "out.bin", gpu, chunk_size=4096, lanes=2,
                                                  progress=stop), Stop),
                            (lambda: dgfile.load(f, gpu, chunk_size=4096, lanes=2,
                                                 progress=lambda d, t: f.close()), ValueError)]:
            before = requests(sim)
            with pytest.raises(error):
                call()
            moved = requests(sim) - before
            assert 0 < moved < 100  # of 769 chunks: stopped after about one each lane
            time.sleep(0.1)
            assert requests(sim) - before == moved  # no lane left running
        assert not f.closed  # closing from the progress callable is refused, not a hang


def test_bad_arguments_fail_at_the_boundary(sim, data):
    path, _ = data

    class ReadOnly:
        __dg_array_interface__ = {"data": (1 << 40, True), "shape": (4,), "typestr": "<f4"}

    f = dgfile.File(path)
    gpu = dgfile.DeviceBuffer(MiB)
    closed = dgfile.File(path)
    closed.close()
    freed = dgfile.DeviceBuffer(4096)
    freed.close()
    r = dgfile.Request(dgfile.READ, f, gpu, 4096)
    doomed = dgfile.DeviceBuffer(4096)
    frees = type("F", (), {"data_ptr": lambda _: doomed.close() or gpu.ptr})()  # runs after doomed was checked
    cases = [
        (lambda: f.read(gpu, -1), ValueError, "size must not be negative"),
        (lambda: f.read(gpu, 4096, -4096), ValueError, "file_offset must not be negative"),
        (lambda: f.read(gpu, 4096, 0, 2**63), ValueError, "device_offset is too large"),
        (lambda: f.read(gpu, 1.5), TypeError, "size must be an int, not float"),
        (lambda: f.read(gpu, True), TypeError, "size must be an int, not bool"),
        (lambda: f.read(gpu, MiB, 0, 1), ValueError, "run past its 1048576 bytes"),
        (lambda: closed.read(gpu, 4096), ValueError, "dgfile.File is closed"),
        (lambda: f.read(freed, 4096), ValueError, "device .a dgfile.DeviceBuffer. is closed"),
        (lambda: f.read(object(), 4096), TypeError, "device must be a device address"),
        (lambda: f.read(0, 4096), ValueError, "device is 0, a null device address"),
        (lambda: f.read(type("D", (), {"data_ptr": 5})(), 4096), TypeError, "device.data_ptr must be a method"),
        (lambda: f.read(type("D", (), {"__dg_array_interface__": property(lambda _: 1 / 0)})(), 4096),
         ZeroDivisionError, "division"),  # raised as it is, not taken for a missing interface
        (lambda: f.read(ReadOnly(), 4), ValueError, "device is read-only device memory"),
        (lambda: f.write(ReadOnly(), 20), ValueError, "run past its 16 bytes"),
        (lambda: dgfile.File(path, "a"), ValueError, "mode must be"),
        (lambda: dgfile.File(3.0), TypeError, "path_or_fd must be a path"),
        (lambda: dgfile.File(-1), ValueError, "path_or_fd must not be negative"),
        (lambda: dgfile.Batch(0), ValueError, "max_requests must be positive"),
        (lambda: dgfile.Batch(2).submit([r, r, r]), ValueError, "3 requests for a batch of 2"),
        (lambda: dgfile.Batch(2).submit([r, "x"]), TypeError, r"requests\[1\] must be a dgfile.Request"),
        (lambda: dgfile.Batch(2).submit([r._replace(file=path)]), TypeError, r"requests\[0\].file must be"),
        (lambda: dgfile.Batch(2).submit([r._replace(op=2)]), ValueError, r"requests\[0\].op is too large"),
        (lambda: dgfile.Batch(2).submit(5), TypeError, "requests must be an iterable"),
        (lambda: dgfile.Batch(2).poll(3), ValueError, "min_completions is too large"),
        (lambda: dgfile.load(3, gpu), TypeError, "source must be a path"),
        (lambda: dgfile.load(path, gpu, chunk_size=0), ValueError, "chunk_size must be positive"),
        (lambda: dgfile.load(path, gpu, lanes=-1), ValueError, "lanes must not be negative"),
        (lambda: dgfile.load(path, gpu, progress=5), TypeError, "progress must be callable"),
        (lambda: dgfile.store(path + ".new", A), ValueError, "size must be given"),
        (lambda: dgfile.store(path + ".new", gpu, size=MiB + 1), ValueError, "run past its 1048576 bytes"),
        (lambda: dgfile.load(path, gpu, size=2 * MiB), ValueError, "run past its 1048576 bytes"),
        (lambda: dgfile.DeviceBuffer(0), ValueError, "size must be positive"),
        (lambda: gpu.copy_from("text"), TypeError, "src must be a contiguous buffer"),
        (lambda: gpu.copy_to(b"read-only"), TypeError, "dst must be a writable contiguous buffer"),
        (lambda: gpu.copy_from(bytes(16), MiB - 8), ValueError, "run past the buffer's"),
        (lambda: dgfile.Batch(2).submit([r._replace(device=doomed), r._replace(device=frees)]), ValueError,
         r"requests\[0\].device .a dgfile.DeviceBuffer. is closed"),
    ]
    for call, error, message in cases:
        with pytest.raises(error, match=message):
            call()
    assert requests(sim) == 0  # none reached the driver
    assert not os.path.exists(path + ".new")  # a store's bad arguments create no file


A = 1 << 40  # an address nothing was allocated at: a check that passes it lets the driver see it


@pytest.mark.parametrize("interface,error,message", [
    ("not a dict", TypeError, "must be a dict"),
    ({"shape": (4,)}, TypeError, r'a "data" entry'),
    ({"data": "0x100"}, TypeError, r'\["data"\] must be an int'),
    ({"data": (A,)}, TypeError, r'\["data"\] must be an int'),
    ({"data": (A, 0)}, TypeError, r'\["data"\]\[1\] must be a bool, not int'),
    ({"data": (0, False)}, ValueError, "a null device address"),
    ({"data": -A}, ValueError, "must not be negative"),
    ({"data": A, "typestr": b"<f4", "shape": (4,)}, TypeError, r'\["typestr"\] must be a str'),
    *[({"data": A, "typestr": t, "shape": (4096,)}, ValueError, r'\["typestr"\] must be a byte order')
      for t in ["x", "<zz", "<f", "<f0", "f4", "<f-4", "<f4 ", "<f+4", "<t8", "<f" + "9" * 30]],
    ({"data": A, "typestr": "<f4", "shape": 4096}, TypeError, r'\["shape"\] must be a tuple'),
    ({"data": A, "typestr": "<f4", "shape": (4096.0,)}, TypeError, r'\["shape"\]\[0\] must be an int'),
    ({"data": A, "typestr": "<f4", "shape": (2, -4096)}, ValueError, r'\["shape"\]\[1\] must not be negative'),
    ({"data": A, "typestr": "<f4", "shape": (1 << 32, 1 << 32)}, ValueError, "overflows"),  # 0 in 64 bits
    ({"data": A, "typestr": "<f8", "shape": (1 << 61, 1)}, ValueError, "overflows"),
    ({"data": A, "typestr": "<f4", "shape": (4096,), "strides": (8,)}, ValueError, "non-contiguous"),
    ({"data": A, "typestr": "<f4", "shape": (4096,), "strides": "4"}, TypeError, r'\["strides"\] must be'),
    ({"data": A, "shape": (4096,), "strides": (4,)}, ValueError, r'"strides" needs "shape" and "typestr"'),
])
def test_hostile_array_interfaces_raise_naming_the_argument(sim, data, interface, error, message):
    with dgfile.File(data[0]) as f:
        with pytest.raises(error, match=r"^device\.__dg_array_interface__.*" + message):
            f.read(type("I", (), {"__dg_array_interface__": interface})(), 4096)
    assert requests(sim) == 0


def test_device_addresses(data):
    path, content = data
    with dgfile.DeviceBuffer(MiB) as gpu, dgfile.File(path) as f:
        interface = {"data": (gpu.ptr, False), "shape": (MiB // 4,), "typestr": "<f4", "strides": None}
        odd = type("Odd", (dict,), {"__getitem__": lambda *_: 1 / 0, "get": lambda *_: 1 / 0})  # entries are read as stored
        strided = dict(interface, shape=(256, 1024), strides=(4096, 4))  # C-contiguous strides are taken
        devices = [gpu.ptr, type("P", (), {"ptr": gpu.ptr})(), type("D", (), {"data_ptr": lambda _: gpu.ptr})()]
        devices += [type("I", (), {"__dg_array_interface__": i})() for i in (interface, odd(interface), strided)]
        for i, device in enumerate(devices):
            assert f.read(device, 4096, i * 4096, i * 4096) == 4096
        assert device_bytes(gpu, 6 * 4096) == content[:6 * 4096]


def test_device_buffer_copies():
    np = pytest.importorskip("numpy")
    with dgfile.DeviceBuffer(64) as gpu:
        gpu.copy_from(b"abcd")
        gpu.copy_from(bytearray(b"ef"), 4)
        gpu.copy_from(memoryview(b"--gh")[2:], 6)
        gpu.copy_from(np.arange(4, dtype=np.uint16), 8)
        out = np.zeros(16, dtype=np.uint8)
        gpu.copy_to(out)
        assert out.tobytes() == b"abcdefgh" + np.arange(4, dtype=np.uint16).tobytes()
        with pytest.raises(TypeError):
            gpu.copy_from(np.zeros((4, 4))[:, 1])  # not contiguous
        with pytest.raises(TypeError, match="writable"):
            gpu.copy_to(np.frombuffer(b"x" * 16, dtype=np.uint8))  # read-only
        for not_an_int in (np.float64(1), np.True_):  # NumPy 1 gives its bool an __index__
            with pytest.raises(TypeError, match="offset must be an int"):
                gpu.copy_from(b"x", not_an_int)
        # Column-major is contiguous too; NumPy's integers are offsets.
        fortran = np.asfortranarray(np.arange(48, dtype=np.uint8).reshape(6, 8))
        gpu.copy_from(fortran, np.int64(16))
        back = np.zeros((6, 8), dtype=np.uint8, order="F")
        gpu.copy_to(back, np.uint8(16))
        assert (back == fortran).all()
        with pytest.raises(ValueError, match="run past"):
            gpu.copy_to(back, np.int32(17))
    with pytest.raises(ValueError, match="closed"):
        gpu.ptr


def test_transfers_release_the_interpreter_lock(sim, data):
    path, content = data
    sim.qrvd_sim_set_fault(6, 300000, 1)  # each request sleeps 300 ms in the driver
    with dgfile.DeviceBuffer(MiB) as gpu, dgfile.File(path) as f:
        started, finished = threading.Event(), threading.Event()

        def slow():
            started.set()
            f.read(gpu, 4096)
            finished.set()

        t = threading.Thread(target=slow)
        t0 = time.monotonic()
        t.start()
        started.wait()
        progress = 0
        while not finished.is_set():
            progress += 1
        t.join()
        assert time.monotonic() - t0 >= 0.3
        assert progress > 10000  # this thread ran while the other was in the driver
        # close() waits for a transfer still running instead of releasing its handle.
        t = threading.Thread(target=lambda: f.read(gpu, 4096, 4096, 4096))
        t.start()
        while requests(sim) < 2:
            time.sleep(0.001)
        f.close()
        assert not t.is_alive()  # close() returned after the transfer
        t.join()
        assert device_bytes(gpu, 4096, 4096) == content[4096:8192]


def test_status_codes_are_the_cpp_layers_and_the_stub_lists_them_all():
    stub = os.path.join(os.path.dirname(dgfile.__file__), "_dgfile.pyi")
    status = next(n for n in ast.parse(open(stub).read()).body if getattr(n, "name", "") == "Status")
    listed = {a.targets[0].id: a.value.value for a in status.body if isinstance(a, ast.Assign)}
    assert listed == {s.name: s.value for s in dgfile.Status}
    assert dgfile.Error(6002, "m").status is dgfile.Status.END_OF_FILE


@pytest.mark.parametrize("value,asked", [("1", True), ("On", True), ("yes", True), ("0", False),
                                         ("true", False), ("", False), (None, False)])
def test_qrvd_sim_is_read_as_the_simulated_driver_reads_it(value, asked):
    # os.putenv changes the environment behind os.environ, as C code would.
    if value is None:
        os.unsetenv("QRVD_SIM")
    else:
        os.putenv("QRVD_SIM", value)
    try:
        assert dgfile._platform.simulation_asked() == asked
    finally:
        os.putenv("QRVD_SIM", os.environ["QRVD_SIM"])


def run_python(*args, env=None):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, env=env, timeout=300)


def test_example_and_readme(tmp_path):
    r = run_python(os.path.join(SOURCE, "examples/python/checkpoint_loader.py"), str(tmp_path),
                   "--make", "5", "--shard-size", str(MiB + 4097))
    assert r.returncode == 0, r.stderr
    assert "5 shards, 5263365 bytes, 4 threads: every shard verified" in r.stdout
    path = tmp_path / "m.safetensors"
    r = run_python(os.path.join(SOURCE, "examples/python/safetensors_checkpoint.py"), str(path), "--layers", "3",
                   "--width", "256")
    assert r.returncode == 0, r.stderr
    # Layer 2: its bias among the F32 ones first, its weight last; two runs of 4096-byte blocks.
    assert r.stdout == f"6 tensors, 400384 bytes in {path}; layer 2 alone read 139264 bytes: every tensor verified\n"
    readme = open(os.path.join(SOURCE, "README.md")).read()
    block = re.search(r"```python\n(.*?)```", readme, re.S).group(1)
    (tmp_path / "w.bin").write_bytes(os.urandom(MiB))
    (tmp_path / "load.py").write_text(block)  # as a newcomer saves it
    r = run_python("-W", "error", str(tmp_path / "load.py"), str(tmp_path / "w.bin"))
    assert r.returncode == 0, r.stderr
    assert r.stdout == f"{MiB} bytes of {tmp_path / 'w.bin'} are in GPU memory\n"


def test_version_is_the_projects():
    cmake = open(os.path.join(SOURCE, "CMakeLists.txt")).read()
    assert dgfile.__version__ == re.search(r"project\(dgfile VERSION ([0-9.]+)", cmake).group(1)
    try:  # installed by pip; the build tree's package has no metadata
        assert importlib.metadata.version("dgfile") == dgfile.__version__
    except importlib.metadata.PackageNotFoundError:
        assert dgfile.__file__.startswith(os.path.realpath(os.environ["PYTHONPATH"]))



def test_awaited_transfers_leave_the_loop_running_and_raise_as_blocking_ones(sim, data, tmp_path):
    path, content = data

    async def main():
        ticks = 0

        async def tick():
            nonlocal ticks
            while True:
                await asyncio.sleep(0.01)
                ticks += 1

        ticker = asyncio.create_task(tick())
        with dgfile.DeviceBuffer(4 * MiB) as gpu, dgfile.File(path) as f, dgfile.Batch(2) as batch:
            sim.qrvd_sim_set_fault(6, 300000, 1)  # each request 300 ms in the driver
            assert await f.read_async(gpu, 4096, 4096) == 4096
            assert ticks >= 10  # the loop ran on while the transfer was awaited
            sim.qrvd_sim_clear_fault()
            batch.submit([dgfile.Request(dgfile.READ, f, gpu, MiB, i * MiB, i * MiB, i) for i in range(2)])
            assert sorted([(c.cookie, c.result) async for c in batch.completions()]) == [(0, MiB), (1, MiB)]
            assert await dgfile.load_async(f, gpu) == len(content)
            assert await dgfile.store_async(tmp_path / "out.bin", gpu, size=len(content)) == len(content)
            with dgfile.File(tmp_path / "w.bin", "w") as w:
                with pytest.raises(dgfile.Error, match="dgfile.File.read: transfer failed"):
                    await w.read_async(gpu, 4096)
            with pytest.raises(ValueError, match="run past"):
                await f.read_exact_async(gpu, 8 * MiB)
        ticker.cancel()

    asyncio.run(main())
    assert (tmp_path / "out.bin").read_bytes() == content


def test_a_cancelled_await_returns_once_nothing_it_started_runs(sim, data):
    path, content = data

    def reads():
        counters = (ctypes.c_uint64 * 9)()
        sim.qrvd_sim_get_counters(counters)
        return counters[4]  # requests that moved their bytes

    async def cancelled(coroutine, after):
        task = asyncio.ensure_future(coroutine)
        await asyncio.sleep(after)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return reads()

    async def main():
        with dgfile.DeviceBuffer(4 * MiB) as gpu, dgfile.File(path) as f, dgfile.Batch(2) as batch:
            sim.qrvd_sim_set_fault(6, 300000, 1)
            assert await cancelled(f.read_async(gpu, 4096), 0.05) == 1  # the read ended first
            assert device_bytes(gpu, 4096) == content[:4096]
            batch.submit([dgfile.Request(dgfile.READ, f, gpu, 4096, i * 4096, i * 4096) for i in range(2)])
            assert await cancelled(anext(batch.completions()), 0.05) == 3 and batch.pending == 0
            sim.qrvd_sim_set_fault(6, 20000, 1)
            assert await cancelled(dgfile.load_async(f, gpu, chunk_size=4096, lanes=2), 0.3) < 100
            moved = reads()
            await asyncio.sleep(0.1)
            assert reads() == moved  # of 769 chunks: the lanes stopped, none runs on

    asyncio.run(main())
