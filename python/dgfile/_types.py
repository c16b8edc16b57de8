# SPDX-License-Identifier: Apache-2.0
"""The pure-Python types of dgfile: status codes, the error, batch requests
and completions, and what a device address may be.  The compiled part
(_dgfile) raises Error and makes Completion and IoStatus values from here."""
from __future__ import annotations

import enum
from typing import TYPE_CHECKING, Any, NamedTuple, Protocol, Union

if TYPE_CHECKING:
    from ._dgfile import File


class Status(enum.IntEnum):
    """A status code: those of dgfile.h (DG_FILE_X is Status.X, same value)
    and the two of the C++ layer, TRANSFER_FAILED and END_OF_FILE."""

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
    TRANSFER_FAILED = 6001  # a transfer returned -1
    END_OF_FILE = 6002  # the file ended before the range (exact transfers)


class Error(Exception):
    """A failed call of dgfile.

    status is the Status, name its name, and moved the bytes moved before the
    failure (read_exact, write_exact and load; 0 otherwise)."""

    def __init__(self, status: int, message: str, moved: int = 0) -> None:
        super().__init__(message)
        self.status = Status(status)
        self.name = self.status.name
        self.moved = moved


class Op(enum.IntEnum):
    """The direction of a batch request."""

    READ = 0  # file to device memory
    WRITE = 1  # device memory to file


class IoStatus(enum.IntEnum):
    """The state of a completion; the library hands out COMPLETE and CANCELED."""

    WAITING = 1
    PENDING = 2
    INVALID = 4
    CANCELED = 8
    COMPLETE = 16
    TIMEOUT = 32
    FAILED = 64


class HasPtr(Protocol):
    """Device memory exposing its address as an int attribute ptr."""

    @property
    def ptr(self) -> int: ...


class HasDataPtr(Protocol):
    """Device memory exposing its address through a method data_ptr()."""

    def data_ptr(self) -> int: ...


class HasArrayInterface(Protocol):
    """Device memory exposing a __dg_array_interface__ dictionary whose "data"
    is (address, read_only) or an address; "shape" and "typestr", when given,
    bound the transfers into it, and "strides", when not None, must be those
    of a C-contiguous array."""

    @property
    def __dg_array_interface__(self) -> dict[str, Any]: ...


# What every device argument accepts (a dgfile.DeviceBuffer has ptr).
Device = Union[int, HasPtr, HasDataPtr, HasArrayInterface]


class Request(NamedTuple):
    """One batch request: the values of one File.read or File.write call, and
    a cookie (any object) that comes back with its completion."""

    op: Op
    file: File
    device: Device
    size: int
    file_offset: int = 0
    device_offset: int = 0
    cookie: object = None


class Completion(NamedTuple):
    """One completed request: its cookie, its status (COMPLETE, or CANCELED)
    and its result, the bytes moved or -1 when the transfer failed."""

    cookie: Any
    status: IoStatus
    result: int
