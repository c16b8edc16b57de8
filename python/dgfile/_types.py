# SPDX-License-Identifier: Apache-2.0
"""The pure-Python types of dgfile: the error, batch requests and
completions, and what a device address may be.  The compiled part (_dgfile)
raises Error and makes Completion and IoStatus values from here; Status is
its own (the C++ layer's codes), so this module is imported after it."""
from __future__ import annotations

import enum
from typing import TYPE_CHECKING, Any, NamedTuple, Protocol, Union

from ._dgfile import Status

if TYPE_CHECKING:
    from ._dgfile import File


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
