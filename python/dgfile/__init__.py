# SPDX-License-Identifier: Apache-2.0
"""dgfile: move file data directly between local storage and GPU memory.

A whole file into device memory, in two lines::

    gpu = dgfile.DeviceBuffer(os.path.getsize(path))  # or any device memory
    n = dgfile.load(path, gpu)                        # the bytes that arrived

File gives single transfers (read, write, read_exact, write_exact) and Batch
asynchronous requests with any object as a cookie; store writes device
memory into a file with lanes, as load reads.  For asyncio, every transfer
has an awaitable form (File.read_async, ..., load_async, store_async, and
Batch.completions, an async iterator).  A device address is an
int, a DeviceBuffer, or an object exposing one (an int attribute ptr, a
method data_ptr(), or a __dg_array_interface__ dictionary).  Every failure
of the library raises Error; bad arguments raise TypeError or ValueError.
The interpreter lock is released during every transfer, submit and poll.

Without a GPU, set QRVD_SIM=1 before the import to run on the simulated GPU
platform (docs/python.md)."""
from . import _platform
from ._version import __version__ as __version__  # the project's version

#: True when the package runs on the simulated GPU platform (QRVD_SIM).
simulated: bool = _platform.prepare()

try:  # the compiled part first: _types takes Status from it
    from ._dgfile import DeviceBuffer, Status, load, store
except ImportError as _error:
    raise _platform.explain(_error) from _error
from ._types import Completion, Device, Error, IoStatus, Op, Request
from ._aio import Batch, File, load_async, store_async  # the compiled classes with awaitable forms
from . import safetensors as safetensors  # dgfile.safetensors: checkpoints in that format

READ = Op.READ
WRITE = Op.WRITE

__all__ = ["Batch", "Completion", "Device", "DeviceBuffer", "Error", "File", "IoStatus", "Op",
           "READ", "Request", "Status", "WRITE", "load", "load_async", "simulated", "store",
           "store_async"]
