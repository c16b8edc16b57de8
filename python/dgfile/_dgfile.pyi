# SPDX-License-Identifier: Apache-2.0
# The compiled part of dgfile (python/src/*.cpp); docs/python.md says
# what each call does.
import enum
import os
from types import TracebackType
from typing import Callable, Iterable, Optional, Union

from _typeshed import ReadableBuffer, WriteableBuffer
from typing_extensions import Self

from ._types import Completion, Device, Request

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

class Status(enum.IntEnum):
    """A status code: those of dgfile.h (DG_FILE_X is Status.X, same value)
    and the three of the C++ layer, TRANSFER_FAILED, END_OF_FILE and STOPPED."""

    # Made at run time from dgfile::errc; for type checkers, listed here too
    # (the test suite compares both).
    SUCCESS = 0
    DRIVER_NOT_INITIALIZED = 5001
    DRIVER_INVALID_PROPS = 5002
    DRIVER_UNSUPPORTED_LIMIT = 5003
    DRIVER_VERSION_MISMATCH = 5004
    DRIVER_VERSION_READ_ERROR = 5005
    DRIVER_CLOSING = 5006
    PLATFORM_NOT_SUPPORTED = 5007
    IO_NOT_SUPPORTED = 5008
    DEVICE_NOT_SUPPORTED = 5009
    DGFS_DRIVER_ERROR = 5010
    TAVO_DRIVER_ERROR = 5011
    TAVO_POINTER_INVALID = 5012
    TAVO_MEMORY_TYPE_INVALID = 5013
    TAVO_POINTER_RANGE_ERROR = 5014
    TAVO_CONTEXT_MISMATCH = 5015
    INVALID_MAPPING_SIZE = 5016
    INVALID_MAPPING_RANGE = 5017
    INVALID_FILE_TYPE = 5018
    INVALID_FILE_OPEN_FLAG = 5019
    DIO_NOT_SET = 5020
    INVALID_VALUE = 5022
    MEMORY_ALREADY_REGISTERED = 5023
    MEMORY_NOT_REGISTERED = 5024
    PERMISSION_DENIED = 5025
    DRIVER_ALREADY_OPEN = 5026
    HANDLE_NOT_REGISTERED = 5027
    HANDLE_ALREADY_REGISTERED = 5028
    DEVICE_NOT_FOUND = 5029
    INTERNAL_ERROR = 5030
    GETNEWFD_FAILED = 5031
    DGFS_SETUP_ERROR = 5033
    IO_DISABLED = 5034
    BATCH_SUBMIT_FAILED = 5035
    GPU_MEMORY_PINNING_FAILED = 5036
    IO_MAX_ERROR = 5037
    TRANSFER_FAILED = 6001
    END_OF_FILE = 6002
    STOPPED = 6003

class File:
    def __init__(self, path_or_fd: Union[_Path, int], mode: str = "r") -> None: ...
    def read(self, device: Device, size: int, file_offset: int = 0, device_offset: int = 0) -> int: ...
    def write(self, device: Device, size: int, file_offset: int = 0, device_offset: int = 0) -> int: ...
    def read_exact(self, device: Device, size: int, file_offset: int = 0,
                   device_offset: int = 0) -> int: ...
    def write_exact(self, device: Device, size: int, file_offset: int = 0,
                    device_offset: int = 0) -> int: ...
    def size(self) -> int: ...
    @property
    def fd(self) -> int: ...
    @property
    def name(self) -> Optional[str]: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, t: Optional[type[BaseException]], e: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None: ...

class Batch:
    def __init__(self, max_requests: int) -> None: ...
    def submit(self, requests: Iterable[Request]) -> None: ...
    # min_completions above those outstanding waits for all of them; above
    # max_requests: ValueError.
    def poll(self, min_completions: int = 1) -> list[Completion]: ...
    def wait(self) -> list[Completion]: ...
    def cancel(self) -> None: ...
    @property
    def pending(self) -> int: ...
    @property
    def max_requests(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, t: Optional[type[BaseException]], e: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None: ...

class DeviceBuffer:
    def __init__(self, size: int) -> None: ...
    @property
    def ptr(self) -> int: ...
    @property
    def size(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def copy_from(self, src: ReadableBuffer, offset: int = 0) -> None: ...
    def copy_to(self, dst: WriteableBuffer, offset: int = 0) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, t: Optional[type[BaseException]], e: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None: ...

_Progress = Callable[[int, int], object]

def load(source: Union[_Path, File], device: Device, *, offset: int = 0, size: Optional[int] = None,
         chunk_size: int = ..., lanes: int = 8, progress: Optional[_Progress] = None) -> int: ...
def store(dest: Union[_Path, File], device: Device, *, offset: int = 0, size: Optional[int] = None,
          chunk_size: int = ..., lanes: int = 8, progress: Optional[_Progress] = None) -> int: ...
