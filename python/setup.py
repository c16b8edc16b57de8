# SPDX-License-Identifier: Apache-2.0
"""Builds the package against an installed libdgfile, found by pkg-config
(dgfile for the library and dgfile.hpp, dgfile-sim for the application
runtime to link with and the simulated platform's directory): for a custom
prefix, PKG_CONFIG_PATH=<prefix>/lib/pkgconfig.  pybind11's headers come from
the system (Debian: pybind11-dev).  The compiled part finds libdgfile through
its run path, the runtimes as on any machine (or, with QRVD_SIM=1, the
simulated ones of that installation)."""
import glob
import os
import subprocess

from setuptools import Extension, setup
from setuptools.command.build_py import build_py


def pkg_config(*args: str) -> list[str]:
    result = subprocess.run(["pkg-config", *args], check=True, capture_output=True, text=True)
    return result.stdout.split()


LIBDIR = pkg_config("--variable=libdir", "dgfile")[0]
SIM_LIBDIR = pkg_config("--variable=libdir", "dgfile-sim")[0]


class BuildPy(build_py):  # type: ignore[misc]
    """Also writes dgfile/_paths.py: the simulated platform's directory."""

    def run(self) -> None:
        super().run()
        with open(os.path.join(self.build_lib, "dgfile", "_paths.py"), "w") as out:
            out.write(f"SIM_DIR = {SIM_LIBDIR!r}\n")


setup(
    packages=["dgfile"],
    package_data={"dgfile": ["py.typed", "_dgfile.pyi", "_simswitch.pyi"]},
    ext_modules=[Extension(
        "dgfile._dgfile", sorted(glob.glob("src/*.cpp")),
        include_dirs=[f[2:] for f in pkg_config("--cflags-only-I", "dgfile", "dgfile-sim")],
        library_dirs=[LIBDIR, SIM_LIBDIR], libraries=["dgfile", "dgrt"],
        runtime_library_dirs=[LIBDIR],
        extra_compile_args=["-std=c++17", "-fvisibility=hidden"],
        extra_link_args=[f"-Wl,-rpath-link,{SIM_LIBDIR}"],
        language="c++"),
        Extension("dgfile._simswitch", ["src/simswitch.c"],  # needs qrv_platform.h only
                  include_dirs=[f[2:] for f in pkg_config("--cflags-only-I", "dgfile-sim")])],
    cmdclass={"build_py": BuildPy},
)
