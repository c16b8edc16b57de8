# SPDX-License-Identifier: Apache-2.0
"""Awaitable forms of dgfile's calls, for asyncio.

Each runs the blocking call on a thread of the event loop's default executor,
where the compiled part releases the interpreter lock, so the loop goes on
meanwhile.  A cancelled await never leaves the call running behind it: a
call not started yet never starts; a transfer under way runs to its end
(the library cannot stop one) and the await returns, raising
CancelledError, only then; a load or store stops its lanes after their
chunk.  So once the await is over, nothing it started writes device memory
or the file.  Errors are raised as the blocking calls raise them."""
from __future__ import annotations

import asyncio
import os
import threading
from typing import Any, AsyncIterator, Callable, Optional, TypeVar, Union, cast

from . import _dgfile
from ._types import Completion, Device

T = TypeVar("T")
Progress = Callable[[int, int], object]
_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class _Stop(Exception):
    """Raised in a load's progress hook to stop its lanes for a cancelled await."""


async def _off_loop(call: Callable[[], T], on_cancel: Optional[Callable[[], None]] = None) -> T:
    """Awaits call() run on an executor thread.  Cancelled, it waits for a
    started call to return (on_cancel first asks it to hurry), then raises."""
    loop = asyncio.get_running_loop()
    lock = threading.Lock()
    state = {"started": False, "abandoned": False}

    def gated() -> Optional[T]:
        with lock:
            if state["abandoned"]:
                return None
            state["started"] = True
        return call()

    future = loop.run_in_executor(None, gated)
    try:
        return cast(T, await asyncio.shield(future))  # None only once abandoned
    except asyncio.CancelledError:
        with lock:
            state["abandoned"] = True
            started = state["started"]
        if started:
            if on_cancel is not None:
                on_cancel()
            await _until_done(future)
        raise


async def _until_done(future: "asyncio.Future[Any]") -> None:
    """Waits for future whatever cancels this task meanwhile, and takes its
    outcome, which the cancelled caller no longer wants."""
    while not future.done():
        try:
            await asyncio.wait([future])
        except asyncio.CancelledError:
            continue
    if not future.cancelled():
        future.exception()


class File(_dgfile.File):
    __doc__ = _dgfile.File.__doc__

    async def read_async(self, device: Device, size: int, file_offset: int = 0,
                         device_offset: int = 0) -> int:
        """File.read, awaited."""
        return await _off_loop(lambda: self.read(device, size, file_offset, device_offset))

    async def write_async(self, device: Device, size: int, file_offset: int = 0,
                          device_offset: int = 0) -> int:
        """File.write, awaited."""
        return await _off_loop(lambda: self.write(device, size, file_offset, device_offset))

    async def read_exact_async(self, device: Device, size: int, file_offset: int = 0,
                               device_offset: int = 0) -> int:
        """File.read_exact, awaited; a cancelled await stops after the transfer under way."""
        return await _off_loop(lambda: self.read_exact(device, size, file_offset, device_offset))

    async def write_exact_async(self, device: Device, size: int, file_offset: int = 0,
                                device_offset: int = 0) -> int:
        """File.write_exact, awaited; a cancelled await stops after the transfer under way."""
        return await _off_loop(lambda: self.write_exact(device, size, file_offset, device_offset))


class Batch(_dgfile.Batch):
    __doc__ = _dgfile.Batch.__doc__

    async def completions(self) -> AsyncIterator[Completion]:
        """Yields the batch's completions as they arrive, until none is
        outstanding.  Cancelled while it waits for the next one, it cancels
        the batch's requests and waits until every transfer is over before
        raising; their completions are collected and dropped.  While it
        waits, other calls of the batch raise RuntimeError."""
        try:
            while self.pending:
                for completion in await _off_loop(lambda: self.poll(1)):
                    yield completion
        except asyncio.CancelledError:
            await _until_done(asyncio.get_running_loop().run_in_executor(None, self._drop_outstanding))
            raise

    def _drop_outstanding(self) -> None:
        self.cancel()
        self.wait()


async def _move(blocking: Callable[..., int], file: Union[_Path, _dgfile.File], device: Device,
                offset: int, size: Optional[int], chunk_size: int, lanes: int,
                progress: Optional[Progress]) -> int:
    loop = asyncio.get_running_loop()
    stop = threading.Event()

    def watch(done: int, total: int) -> None:  # on the executor thread, about every 100 ms
        if stop.is_set():
            raise _Stop
        if progress is not None:
            loop.call_soon_threadsafe(progress, done, total)

    def call() -> int:
        return blocking(file, device, offset=offset, size=size, chunk_size=chunk_size, lanes=lanes,
                        progress=watch)

    return await _off_loop(call, on_cancel=stop.set)


async def load_async(source: Union[_Path, _dgfile.File], device: Device, *, offset: int = 0,
                     size: Optional[int] = None, chunk_size: int = 1 << 20, lanes: int = 8,
                     progress: Optional[Progress] = None) -> int:
    """dgfile.load, awaited; progress is called on the event loop's thread.
    A cancelled await stops the lanes after their chunk."""
    return await _move(_dgfile.load, source, device, offset, size, chunk_size, lanes, progress)


async def store_async(dest: Union[_Path, _dgfile.File], device: Device, *, offset: int = 0,
                      size: Optional[int] = None, chunk_size: int = 1 << 20, lanes: int = 8,
                      progress: Optional[Progress] = None) -> int:
    """dgfile.store, awaited; progress is called on the event loop's thread.
    A cancelled await stops the lanes after their chunk."""
    return await _move(_dgfile.store, dest, device, offset, size, chunk_size, lanes, progress)


for _cls in (File, Batch):
    _cls.__module__ = "dgfile"
