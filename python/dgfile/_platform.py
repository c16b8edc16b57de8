# SPDX-License-Identifier: Apache-2.0
"""What the compiled part needs loaded before it is imported.

libdgfile names the GPU runtime libqrv-runtime64.so.1 as needed, and
DeviceBuffer uses the application runtime libdgrt.so.1: on a GPU machine the
loader finds both.  When QRVD_SIM says on ("1", "on" or "yes", any case:
read by the simulated driver's own reader, _simswitch), the simulated platform installed beside the
package is loaded instead: its two runtimes, which then answer to those
names in this process, and its driver stand-in, which must come ahead of
the C library for libdgfile to reach the simulated /dev/qrvd.  A stand-in
already preloaded (LD_PRELOAD) is used as it is; otherwise libdgfile is
loaded through libdgfile-simbind.so with deep binding (RTLD_DEEPBIND), which
puts the stand-in first for libdgfile alone."""
from __future__ import annotations

import ctypes
import os
from typing import Optional

from . import _simswitch

RUNTIME = "libqrv-runtime64.so.1"
APP_RUNTIME = "libdgrt.so.1"
DRIVER = "libqrvd-sim.so"
BINDER = "libdgfile-simbind.so"
LIBRARY = "libdgfile.so.1"


def simulation_asked() -> bool:
    """Whether QRVD_SIM says on."""
    return _simswitch.force() == 1


def sim_dir() -> Optional[str]:
    """The simulated platform's directory recorded at build time, or None."""
    try:
        from . import _paths
    except ImportError:
        return None
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.normpath(os.path.join(here, _paths.SIM_DIR))


def _loaded(name: str) -> Optional[ctypes.CDLL]:
    try:
        return ctypes.CDLL(name, mode=os.RTLD_NOLOAD)
    except OSError:
        return None


class _ObjectInfo(ctypes.Structure):  # the first fields of struct dl_phdr_info
    _fields_ = [("addr", ctypes.c_void_p), ("name", ctypes.c_char_p)]


_Visit = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(_ObjectInfo), ctypes.c_size_t, ctypes.c_void_p)


def _ahead_of_libc(soname: str) -> bool:
    """Whether the library was loaded before the C library (preloaded, or
    linked ahead of it), as the tools' launcher tells: in dl_iterate_phdr's
    order, which is the order of symbol lookup."""
    names: list[str] = []

    def visit(info: "ctypes._Pointer[_ObjectInfo]", size: int, data: Optional[int]) -> int:
        names.append(os.path.basename((info.contents.name or b"").decode()))
        return 0

    ctypes.CDLL(None).dl_iterate_phdr(_Visit(visit), None)
    for name in names:
        if name.startswith("libc.so"):
            return False
        if name == soname:
            return True
    return False


def prepare() -> bool:
    """Loads the simulated platform when asked for; True when it did."""
    if not simulation_asked():
        return False
    where = sim_dir()
    if where is None or not os.path.exists(os.path.join(where, DRIVER)):
        raise ImportError(
            f"dgfile: QRVD_SIM asks for the simulated GPU platform, but it is not installed "
            f"beside this package (no {DRIVER} in {where or 'a recorded directory'}); install "
            f"libdgfile with its component sim, or unset QRVD_SIM on a GPU machine")
    for name in (RUNTIME, APP_RUNTIME, DRIVER):
        if _loaded(name) is None:
            ctypes.CDLL(os.path.join(where, name), mode=os.RTLD_GLOBAL)
    if _ahead_of_libc(DRIVER):
        return True  # preloaded: already ahead of the C library for everyone
    if _loaded(LIBRARY) is not None:
        raise ImportError(
            f"dgfile: QRVD_SIM asks for the simulated GPU platform, but {LIBRARY} is already "
            f"loaded without its driver stand-in; import dgfile first, or preload "
            f"{os.path.join(where, DRIVER)} (LD_PRELOAD)")
    ctypes.CDLL(os.path.join(where, BINDER), mode=os.RTLD_GLOBAL | os.RTLD_DEEPBIND)
    return True


def explain(error: ImportError) -> ImportError:
    """The error to raise when the compiled part does not load: for a shared
    library the loader cannot find, what it is and how to run without a GPU."""
    text = str(error)
    missing = next((n for n in (RUNTIME, APP_RUNTIME, LIBRARY) if n in text), None)
    if missing is None:
        return error
    what = {RUNTIME: "the GPU runtime, which libdgfile needs",
            APP_RUNTIME: "the application GPU runtime, which dgfile needs for device memory",
            LIBRARY: "libdgfile itself"}[missing]
    where = sim_dir()
    if where is not None and os.path.exists(os.path.join(where, DRIVER)):
        how = f"set QRVD_SIM=1 before importing dgfile (the simulated platform is in {where})"
    else:
        how = "install libdgfile with its component sim, then set QRVD_SIM=1 before importing dgfile"
    return ImportError(
        f"dgfile: the loader cannot find {missing}, {what} ({text}). On a GPU machine, install "
        f"the GPU runtime where the loader finds it. To run on the simulated GPU platform "
        f"instead, {how}.")
