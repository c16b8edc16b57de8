# SPDX-License-Identifier: Apache-2.0
"""Checkpoints in the safetensors format, between the file and device memory.

    tensors = dgfile.safetensors.load_file(path)        # one device allocation
    w = tensors["weight"]                                # a Tensor: dtype, shape, address
    dgfile.safetensors.save_file(tensors, out_path, metadata=tensors.metadata)

The header is read and checked on the host; a file that breaks the format's
rules raises ValueError before any byte moves.  The data moves through the
library, loads with the lanes loader (docs/python.md, "Safetensors files")."""
from __future__ import annotations

import json
import operator
import os
import secrets
import struct
import sys
from typing import TYPE_CHECKING, Any, Iterable, Iterator, Mapping, NamedTuple, Optional, Sequence, Union

from ._dgfile import DeviceBuffer, File, Status, load, store
from ._types import Device, Error

if TYPE_CHECKING:
    import numpy.typing

__all__ = ["ALIGNMENT", "DTYPES", "Entry", "Header", "MAX_HEADER_SIZE", "Tensor", "Tensors", "load_file",
           "read_header", "save_file"]

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# The format's own reader refuses larger headers; so do we, before reading one.
MAX_HEADER_SIZE = 100_000_000
# Our files start their data section here: the direct path takes aligned
# chunks, and a loaded range rounded out to it lands without another copy.
ALIGNMENT = 4096
_U64 = 1 << 64


class _Kind(NamedTuple):
    bits: int  # per item
    typestr: str  # how __dg_array_interface__ and to_numpy() describe an item


# Every dtype of the format.  Those NumPy has no kind for are raw bytes
# ("|V2", "|V1"); the 4- and 6-bit ones are packed, so their interface and
# to_numpy() describe the packed bytes (shape (nbytes,)), not the items.
DTYPES: Mapping[str, _Kind] = {
    "BOOL": _Kind(8, "|b1"), "U8": _Kind(8, "|u1"), "I8": _Kind(8, "|i1"),
    "F8_E5M2": _Kind(8, "|V1"), "F8_E4M3": _Kind(8, "|V1"), "F8_E8M0": _Kind(8, "|V1"),
    "F8_E4M3FNUZ": _Kind(8, "|V1"), "F8_E5M2FNUZ": _Kind(8, "|V1"),
    "F4": _Kind(4, "|V1"), "F6_E2M3": _Kind(6, "|V1"), "F6_E3M2": _Kind(6, "|V1"),
    "I16": _Kind(16, "<i2"), "U16": _Kind(16, "<u2"), "F16": _Kind(16, "<f2"), "BF16": _Kind(16, "|V2"),
    "I32": _Kind(32, "<i4"), "U32": _Kind(32, "<u4"), "F32": _Kind(32, "<f4"),
    "I64": _Kind(64, "<i8"), "U64": _Kind(64, "<u8"), "F64": _Kind(64, "<f8"), "C64": _Kind(64, "<c8"),
}
# Saving: the dtype of an item as a typestr's kind and size, or as the name
# of a NumPy extension type (ml_dtypes) for those NumPy lacks.
_BY_TYPESTR = {"b1": "BOOL", "u1": "U8", "i1": "I8", "i2": "I16", "u2": "U16", "f2": "F16", "i4": "I32",
               "u4": "U32", "f4": "F32", "i8": "I64", "u8": "U64", "f8": "F64", "c8": "C64"}
_BY_NUMPY_NAME = {"bfloat16": "BF16", "float8_e5m2": "F8_E5M2", "float8_e4m3fn": "F8_E4M3",
                  "float8_e8m0fnu": "F8_E8M0", "float8_e4m3fnuz": "F8_E4M3FNUZ",
                  "float8_e5m2fnuz": "F8_E5M2FNUZ"}


def _nbytes(dtype: str, shape: Sequence[int]) -> int:
    """The bytes of a tensor, or ValueError.  Overflow is judged as the
    format's reader judges it: the item count and then the bit count must
    each stay below 2**64, step by step."""
    count = 1
    for n in shape:
        count *= n
        if count >= _U64:
            raise ValueError(f"shape {list(shape)} has more than 2**64 items (it overflows)")
    bits = count * DTYPES[dtype].bits
    if bits >= _U64:
        raise ValueError(f"shape {list(shape)} of {dtype} overflows 2**64 bits")
    if bits % 8:
        raise ValueError(f"shape {list(shape)} of {dtype} does not end on a byte boundary")
    return bits // 8


def _round_down(n: int) -> int:
    return n - n % ALIGNMENT


def _round_up(n: int) -> int:
    return -(-n // ALIGNMENT) * ALIGNMENT


# ---- The header ------------------------------------------------------------

class _Number(NamedTuple):
    """A JSON number that is no offset or dimension (negative, fractional,
    2**64 or more, NaN): kept as text so that only a field that must be one
    refuses it, as the format's reader does (other fields are ignored)."""

    text: str


def _parse_int(text: str) -> Union[int, _Number]:
    if text.startswith("-") or len(text) > 20:
        return _Number(text)
    n = int(text)
    return n if n < _U64 else _Number(text)


def _unique(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    seen: dict[str, Any] = {}
    for key, value in pairs:
        if key in seen:
            raise ValueError(f"the name {key!r} appears twice")
        seen[key] = value
    return seen


class Entry(NamedTuple):
    """One tensor as the header describes it; begin and end are offsets into
    the data section."""

    name: str
    dtype: str
    shape: tuple[int, ...]
    begin: int
    end: int


class Header(NamedTuple):
    """A checked header: data_start is the file offset of the data section,
    entries are in the order of their offsets (which tile the data section)."""

    entries: dict[str, Entry]
    metadata: dict[str, str]
    data_start: int
    data_size: int


def _utf8(text: str, what: str) -> str:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{what} {text!r} is not valid UTF-8 (a lone surrogate)") from None
    return text


def _uint(value: object, what: str) -> int:
    if isinstance(value, int) and not isinstance(value, bool):
        return value
    shown = value.text if isinstance(value, _Number) else json.dumps(value)
    raise ValueError(f"{what} must be an integer from 0 to 2**64-1, not {shown}")


def _entry(name: str, info: object) -> Entry:
    _utf8(name, "the name")
    if not isinstance(info, dict):
        raise ValueError(f"{name!r} must be an object, not {json.dumps(info)[:80]}")
    missing = [key for key in ("dtype", "shape", "data_offsets") if key not in info]
    if missing:
        raise ValueError(f"{name!r} has no {missing[0]!r}")
    dtype, shape, offsets = info["dtype"], info["shape"], info["data_offsets"]
    if not isinstance(dtype, str) or dtype not in DTYPES:
        raise ValueError(f"{name!r} has the unknown dtype {json.dumps(dtype)[:80]}")
    if not isinstance(shape, list):
        raise ValueError(f"{name!r}: shape must be a list")
    dims = tuple(_uint(n, f"{name!r}: each dimension of the shape") for n in shape)
    if not isinstance(offsets, list) or len(offsets) != 2:
        raise ValueError(f"{name!r}: data_offsets must be a list [begin, end]")
    begin, end = (_uint(n, f"{name!r}: data_offsets") for n in offsets)
    if begin > end:
        raise ValueError(f"{name!r}: data_offsets [{begin}, {end}] are out of order")
    try:
        nbytes = _nbytes(dtype, dims)
    except ValueError as e:
        raise ValueError(f"{name!r}: {e}") from None
    if end - begin != nbytes:
        raise ValueError(f"{name!r}: shape {list(dims)} of {dtype} is {nbytes} bytes, "
                         f"but data_offsets [{begin}, {end}] hold {end - begin}")
    return Entry(name, dtype, dims, begin, end)


def _parse_header(header: bytes, data_size: int) -> tuple[dict[str, Entry], dict[str, str]]:
    """The tensors (in the order of their offsets) and the metadata of a
    header's JSON text, whose data section holds data_size bytes; ValueError
    for anything the format does not allow."""
    try:
        text = header.decode("utf-8")
    except UnicodeDecodeError as e:
        raise ValueError(f"the header is not UTF-8 ({e.reason} at byte {e.start})") from None
    try:
        top = json.loads(text, object_pairs_hook=_unique, parse_int=_parse_int,
                         parse_float=_Number, parse_constant=_Number)
    except RecursionError:
        raise ValueError("the header's JSON nests too deeply") from None
    except ValueError as e:  # json.JSONDecodeError, or a name twice
        raise ValueError(f"the header is not valid JSON: {e}") from None
    if not isinstance(top, dict):
        raise ValueError(f"the header is JSON {type(top).__name__}, not an object")
    metadata = top.pop("__metadata__", None)
    if metadata is None:
        metadata = {}
    elif not isinstance(metadata, dict) or not all(isinstance(v, str) for v in metadata.values()):
        raise ValueError("__metadata__ must be an object of strings")
    for key, value in metadata.items():
        _utf8(key, "the metadata key")
        _utf8(value, "the metadata value")
    entries = sorted((_entry(name, info) for name, info in top.items()), key=lambda e: (e.begin, e.end))
    # The data section is tiled whole: no hole a second file could hide in.
    at = 0
    for t in entries:
        if t.begin != at:
            how = "overlaps the tensor before it" if t.begin < at else f"leaves a hole after offset {at}"
            raise ValueError(f"{t.name!r}: data_offsets [{t.begin}, {t.end}] {how}")
        at = t.end
    if at != data_size:
        raise ValueError(f"the tensors end at offset {at} of a data section of {data_size} bytes"
                         + (": the file is shorter than its header says" if at > data_size else
                            ": bytes after the last tensor"))
    return {e.name: e for e in entries}, metadata


def _header_length(prefix: bytes, file_size: int) -> int:
    """The header's length from a file's first 8 bytes; ValueError when it
    cannot be one."""
    if len(prefix) < 8 or file_size < 8:
        raise ValueError(f"the file is {file_size} bytes, too short for a header length")
    n = int.from_bytes(prefix[:8], "little")
    if n > MAX_HEADER_SIZE:
        raise ValueError(f"the header length {n} is over the limit of {MAX_HEADER_SIZE} bytes")
    if 8 + n > file_size:
        raise ValueError(f"the header length {n} runs past the end of the file ({file_size} bytes)")
    return n


def _parse(start: bytes, file_size: int) -> Header:
    """The header of a file of file_size bytes that starts with start (at
    least its length and its header)."""
    n = _header_length(start, file_size)
    if len(start) < 8 + n:
        raise ValueError(f"the file ended inside its {n}-byte header")
    entries, metadata = _parse_header(start[8:8 + n], file_size - 8 - n)
    return Header(entries, metadata, 8 + n, file_size - 8 - n)


def read_header(path: _Path) -> Header:
    """The checked header of a file, read on the host; ValueError for a file
    that breaks the format's rules."""
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        prefix = f.read(8)
        return _parse(prefix + f.read(_header_length(prefix, size)), size)


# ---- Tensors in device memory ----------------------------------------------

def _address(device: object) -> int:
    """The address a device argument names, found as the binding finds it."""
    if isinstance(device, DeviceBuffer):
        return device.ptr
    if isinstance(device, int) and not isinstance(device, bool):
        return device
    if hasattr(device, "ptr"):
        return operator.index(getattr(device, "ptr"))
    if hasattr(device, "data_ptr"):
        return operator.index(getattr(device, "data_ptr")())
    interface = getattr(device, "__dg_array_interface__", None)
    if not isinstance(interface, dict) or "data" not in interface:
        raise TypeError(f"device must be device memory (an int address, a dgfile.DeviceBuffer, an object "
                        f"with ptr, data_ptr() or __dg_array_interface__), not {type(device).__name__}")
    data = interface["data"]
    return operator.index(data[0] if isinstance(data, tuple) else data)


def _shape(shape: Iterable[int]) -> tuple[int, ...]:
    dims = tuple(operator.index(n) for n in shape)
    if any(n < 0 or n >= _U64 for n in dims):
        raise ValueError(f"shape {list(dims)} must hold dimensions from 0 to 2**64-1")
    return dims


class Tensor:
    """A tensor in device memory: dtype (the format's name, e.g. "BF16"),
    shape, nbytes and address.  It is a device argument of every dgfile call
    (through __dg_array_interface__, which bounds transfers to its nbytes)
    and a value save_file takes.

    Tensor(dtype, shape, device, offset=0) describes memory of the caller's:
    any device argument; a DeviceBuffer or a Tensor is checked to hold it,
    and to_numpy() works for those two.  Only a tensor of no bytes may have
    no device (None)."""

    __slots__ = ("dtype", "shape", "nbytes", "address", "_buffer", "_offset")

    def __init__(self, dtype: str, shape: Iterable[int], device: Optional[Device], offset: int = 0) -> None:
        if not isinstance(dtype, str) or dtype not in DTYPES:
            raise ValueError(f"dtype must be one of {', '.join(DTYPES)}, not {dtype!r}")
        dims = _shape(shape)
        offset = operator.index(offset)
        if offset < 0:
            raise ValueError(f"offset must not be negative, got {offset}")
        self.dtype = dtype
        self.shape = dims
        self.nbytes = _nbytes(dtype, dims)
        if device is None and self.nbytes:
            raise ValueError(f"a tensor of {self.nbytes} bytes needs device memory")
        # The DeviceBuffer holding it, for to_numpy(); None for other memory.
        self._buffer: Optional[DeviceBuffer] = None
        self._offset = offset
        if isinstance(device, Tensor):
            _open(device)
            self._buffer, self._offset = device._buffer, device._offset + offset
            extent: Optional[int] = device.nbytes
        elif isinstance(device, DeviceBuffer):
            self._buffer, extent = device, device.size
        else:
            extent = None
        if extent is not None and offset + self.nbytes > extent:
            raise ValueError(f"offset {offset} + {self.nbytes} bytes run past the device memory's "
                             f"{extent} bytes")
        # No memory for no bytes: address 0 then, which no transfer is given.
        self.address = _address(device) + offset if device is not None else 0

    @property
    def __dg_array_interface__(self) -> dict[str, Any]:
        # Every dgfile call reads this: none may reach memory already freed.
        if self._buffer is not None and self._buffer.closed:
            raise ValueError("the dgfile.DeviceBuffer holding this tensor is closed")
        packed = DTYPES[self.dtype].bits < 8
        return {"data": (self.address, False), "typestr": DTYPES[self.dtype].typestr,
                "shape": (self.nbytes,) if packed else self.shape, "strides": None, "version": 3}

    def to_numpy(self) -> numpy.typing.NDArray[Any]:
        """A copy in host memory, as a NumPy array of the tensor's shape.
        BF16 and the 8-bit float types come as raw items ("V2", "V1": view
        them with a type that knows them); the 4- and 6-bit types as their
        packed bytes."""
        import numpy

        if self._buffer is None and self.nbytes:
            raise TypeError("to_numpy() copies from a dgfile.DeviceBuffer; this tensor lies in "
                            "other device memory: copy it with the library that owns it")
        host = bytearray(self.nbytes)
        if self.nbytes:
            assert self._buffer is not None
            self._buffer.copy_to(host, self._offset)
        kind = DTYPES[self.dtype]
        items = numpy.frombuffer(host, kind.typestr)
        return items if kind.bits < 8 else items.reshape(self.shape)

    def __repr__(self) -> str:
        return f"Tensor({self.dtype!r}, {self.shape}, address={self.address:#x})"


class Tensors(Mapping[str, Tensor]):
    """What load_file returns: the tensors by name, in the file's order, the
    file's __metadata__ strings, and buffer, the allocation load_file made
    (None when the caller gave the memory).  Closing frees that allocation;
    it is freed anyway once neither this object nor a tensor in it is alive."""

    def __init__(self, tensors: dict[str, Tensor], metadata: dict[str, str],
                 buffer: Optional[DeviceBuffer]) -> None:
        self._tensors = tensors
        self.metadata = metadata
        self.buffer = buffer

    def __getitem__(self, name: str) -> Tensor:
        return self._tensors[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self._tensors)

    def __len__(self) -> int:
        return len(self._tensors)

    def close(self) -> None:
        if self.buffer is not None:
            self.buffer.close()

    def __enter__(self) -> Tensors:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


# ---- Moving the data --------------------------------------------------------

def _positive(value: int, name: str) -> int:
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value <= 0:
        raise ValueError(f"{name} must be positive, got {value}")
    return value


def _open(device: Device) -> Device:
    # A tensor of a closed buffer is refused, with its reason, before a file
    # is begun (the binding refuses it too, but only at the transfer).
    if isinstance(device, Tensor):
        device.__dg_array_interface__
    return device


def _runs(entries: Iterable[Entry], data_start: int) -> list[tuple[int, int]]:
    """The file ranges that hold the entries' bytes, each rounded out to
    ALIGNMENT, those that touch merged: one load each."""
    runs: list[tuple[int, int]] = []
    for e in sorted(entries, key=lambda e: e.begin):
        if e.begin == e.end:
            continue
        lo, hi = _round_down(data_start + e.begin), _round_up(data_start + e.end)
        if runs and lo <= runs[-1][1]:
            runs[-1] = (runs[-1][0], max(runs[-1][1], hi))
        else:
            runs.append((lo, hi))
    return runs


def load_file(path: _Path, *, device: Optional[Mapping[str, Device]] = None,
              names: Optional[Iterable[str]] = None, chunk_size: int = 1 << 20,
              lanes: int = 8) -> Tensors:
    """Reads a safetensors file into device memory.

    By default the tensors (all, or those of names) land in one new
    DeviceBuffer: the data section, or each run of the tensors asked for,
    rounded out to ALIGNMENT and moved by one load of chunk_size chunks and
    lanes lanes.  With device, a mapping of tensor names to device memory,
    each tensor is loaded into the caller's memory for it, exactly its
    bytes (the tensors loaded are names, or else the mapping's keys).

    ValueError for a file that breaks the format's rules (nothing is moved
    then), a name the file lacks, or bad memory; dgfile.Error when a
    transfer fails or the file shrank meanwhile."""
    chunk_size, lanes = _positive(chunk_size, "chunk_size"), _positive(lanes, "lanes")
    if device is not None and not isinstance(device, Mapping):
        raise TypeError(f"device must be None or a mapping of tensor names to device memory, "
                        f"not {type(device).__name__}")
    if isinstance(names, str):
        raise TypeError("names must be an iterable of names, not a str")
    header = read_header(path)
    wanted = list(dict.fromkeys(names if names is not None else device if device is not None
                                else header.entries))
    for name in wanted:
        if name not in header.entries:
            raise ValueError(f"the file has no tensor named {name!r}")
        if device is not None and name not in device:
            raise ValueError(f"device has no memory for the tensor {name!r}")
    chosen = set(wanted)
    entries = [e for e in header.entries.values() if e.name in chosen]
    tensors: dict[str, Tensor] = {}
    buffer: Optional[DeviceBuffer] = None
    with File(path) as f:
        if device is not None:
            for e in entries:
                start = header.data_start + e.begin
                if e.end > e.begin:
                    n = load(f, device[e.name], offset=start, size=e.end - e.begin, chunk_size=chunk_size,
                             lanes=lanes)
                    _arrived(n, e.end - e.begin, f"{e.name!r} at offset {start}")
                tensors[e.name] = Tensor(e.dtype, e.shape, device[e.name])
            return Tensors(tensors, header.metadata, None)
        runs = _runs(entries, header.data_start)
        total = sum(hi - lo for lo, hi in runs)
        buffer = DeviceBuffer(total) if total else None
        try:
            places: list[tuple[int, int, int]] = []  # file range, place in the buffer
            at = 0
            for lo, hi in runs:
                assert buffer is not None
                needed = min(hi, header.data_start + header.data_size) - lo
                n = load(f, buffer.ptr + at, offset=lo, size=hi - lo, chunk_size=chunk_size, lanes=lanes)
                _arrived(n, needed, f"the range at offset {lo}")
                places.append((lo, hi, at))
                at += hi - lo
            for e in entries:
                start = header.data_start + e.begin
                offset = next((place + start - lo for lo, hi, place in places if lo <= start < hi), 0)
                tensors[e.name] = Tensor(e.dtype, e.shape, buffer, offset)
        except BaseException:
            if buffer is not None:
                buffer.close()
            raise
    return Tensors(tensors, header.metadata, buffer)


def _arrived(n: int, needed: int, what: str) -> None:
    if n < needed:
        raise Error(Status.END_OF_FILE, f"dgfile.safetensors.load_file: the file ended {n} bytes into "
                    f"{what}, {needed} expected (it changed since its header was read)", n)


class _Source(NamedTuple):
    dtype: str
    shape: tuple[int, ...]
    nbytes: int
    device: Optional[Device]  # device memory, or
    host: Optional[memoryview]  # host bytes (a NumPy array's)


def _from_numpy(name: str, array: Any) -> _Source:
    import numpy

    if not array.flags.c_contiguous:
        array = array.copy(order="C")
    dtype = _BY_NUMPY_NAME.get(array.dtype.name) or _BY_TYPESTR.get(array.dtype.str[1:])
    if dtype is None:
        raise ValueError(f"tensors[{name!r}]: NumPy's {array.dtype} has no dtype in the format")
    if array.dtype.byteorder == ">" or (array.dtype.byteorder == "=" and sys.byteorder == "big"):
        array = array.astype(array.dtype.newbyteorder("<"))  # the format is little-endian
    return _Source(dtype, tuple(array.shape), array.nbytes, None, memoryview(array.reshape(-1).view(numpy.uint8)))


def _source(name: str, value: object) -> _Source:
    """What save_file writes for one value; nothing is read from it yet."""
    if not isinstance(name, str):
        raise TypeError(f"tensor names must be str, not {type(name).__name__}")
    if name == "__metadata__":
        raise ValueError("__metadata__ is not a tensor name: pass metadata=")
    _utf8(name, "the name")
    if isinstance(value, Tensor):  # a closed buffer refused before anything is written
        return _Source(value.dtype, value.shape, value.nbytes, _open(value), None)
    numpy = sys.modules.get("numpy")  # no NumPy array exists without it
    if numpy is not None and isinstance(value, numpy.ndarray):
        return _from_numpy(name, value)
    interface = getattr(value, "__dg_array_interface__", None)
    if not isinstance(interface, dict):
        raise TypeError(f"tensors[{name!r}] must be a dgfile.safetensors.Tensor, an object with a "
                        f"__dg_array_interface__ or a NumPy array, not {type(value).__name__} "
                        "(wrap device memory as Tensor(dtype, shape, device))")
    typestr, shape = interface.get("typestr"), interface.get("shape")
    if not isinstance(shape, (tuple, list)) or not isinstance(typestr, str):
        raise ValueError(f"tensors[{name!r}].__dg_array_interface__ needs \"shape\" and \"typestr\"")
    little = ("<", "|", "=") if sys.byteorder == "little" else ("<", "|")
    dtype = _BY_TYPESTR.get(typestr[1:]) if typestr[:1] in little else None
    if dtype is None:
        raise ValueError(f"tensors[{name!r}]: typestr {typestr!r} names no dtype of the format "
                         "(little-endian only; wrap raw items as Tensor(dtype, shape, device))")
    dims = _shape(shape)
    return _Source(dtype, dims, _nbytes(dtype, dims), value, None)  # type: ignore[arg-type]


def _pwrite_all(fd: int, data: memoryview, offset: int) -> None:
    while data:
        n = os.pwrite(fd, data, offset)
        data, offset = data[n:], offset + n


def _temporary(path: str) -> tuple[str, int]:
    """A new file beside path, under a name no one else uses."""
    directory, base = os.path.split(path)
    while True:
        name = os.path.join(directory, f".{base}.{secrets.token_hex(6)}.tmp")
        try:
            return name, os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        except FileExistsError:
            continue


def save_file(tensors: Mapping[str, object], path: _Path, metadata: Optional[Mapping[str, str]] = None,
              *, chunk_size: int = 1 << 20, lanes: int = 8) -> None:
    """Writes tensors (dgfile.safetensors.Tensor objects, other device memory
    with a __dg_array_interface__, or NumPy arrays) as a safetensors file.

    The header is written on the host, padded so that the data section
    starts on an ALIGNMENT boundary; device memory goes through the store in
    chunk_size chunks, host memory through plain writes.  The file is made
    under a temporary name in the same directory, flushed to the disk and
    renamed into place only when whole; a failure removes it and leaves
    path as it was.  TypeError or ValueError for bad arguments (nothing is
    written then); dgfile.Error when a transfer fails."""
    chunk_size, lanes = _positive(chunk_size, "chunk_size"), _positive(lanes, "lanes")
    if not isinstance(tensors, Mapping):
        raise TypeError(f"tensors must be a mapping of names to tensors, not {type(tensors).__name__}")
    if metadata is not None and (not isinstance(metadata, Mapping) or not all(
            isinstance(k, str) and isinstance(v, str) for k, v in metadata.items())):
        raise TypeError("metadata must be a mapping of str to str")
    for key, value in (metadata or {}).items():
        _utf8(key, "the metadata key")
        _utf8(value, "the metadata value")
    sources = {name: _source(name, value) for name, value in tensors.items()}
    # Wider items first: each tensor then starts at a multiple of its item
    # size, as the format's own writer arranges.
    order = sorted(sources, key=lambda name: -DTYPES[sources[name].dtype].bits)
    header: dict[str, Any] = {"__metadata__": dict(metadata)} if metadata else {}
    offsets: dict[str, int] = {}
    at = 0
    for name in order:
        s = sources[name]
        offsets[name] = at
        header[name] = {"dtype": s.dtype, "shape": list(s.shape), "data_offsets": [at, at + s.nbytes]}
        at += s.nbytes
    text = json.dumps(header, separators=(",", ":"), ensure_ascii=False).encode("utf-8")
    text += b" " * (-(8 + len(text)) % ALIGNMENT)
    if len(text) > MAX_HEADER_SIZE:
        raise ValueError(f"the header would be {len(text)} bytes, over the limit of {MAX_HEADER_SIZE}")
    data_start, path = 8 + len(text), os.fsdecode(os.fspath(path))
    temporary, fd = _temporary(path)
    try:
        try:
            _pwrite_all(fd, memoryview(struct.pack("<Q", len(text)) + text), 0)
            os.ftruncate(fd, data_start + at)
            for name, s in sources.items():
                if s.host is not None:
                    _pwrite_all(fd, s.host, data_start + offsets[name])
            on_device = [name for name, s in sources.items() if s.device is not None and s.nbytes]
            if on_device:
                with File(temporary, "r+") as f:
                    for name in on_device:
                        s = sources[name]
                        assert s.device is not None
                        n = store(f, s.device, offset=data_start + offsets[name], size=s.nbytes,
                                  chunk_size=chunk_size, lanes=lanes)
                        if n != s.nbytes:
                            raise Error(Status.END_OF_FILE, f"dgfile.safetensors.save_file: {n} of "
                                        f"{s.nbytes} bytes of {name!r} were written", n)
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    # The rename itself reaches the disk with the directory.
    directory = os.open(os.path.dirname(path) or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(directory)
    finally:
        os.close(directory)
