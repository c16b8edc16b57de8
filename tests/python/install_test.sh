#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Python package as users install it:
#  - cmake --install puts it under the prefix's Python directory; imported
#    from there (PYTHONPATH), it explains that no GPU runtime is found, and
#    with QRVD_SIM=1 it runs the installed example on the simulated platform;
#  - in a fresh virtual environment (no system site packages), pip install of
#    the source tree builds everything in pip's isolated build environment;
#    the package explains that no GPU runtime is found, runs the README's
#    load.py on the simulated platform it carries, and uninstalls whole;
#  - in the same environment, pip install ./python builds the package alone
#    against the installed library, which it then uses;
#  - python -m build makes an sdist and a wheel; in a second fresh virtual
#    environment each is installed in turn, with pytest, NumPy 2 and the
#    safetensors package (for the interoperability tests) from
#    PyPI, and the package's tests run against it.
# Every part names one version, the project's.  The builds share one pip
# cache (BUILD_DIR/tests/python/pip-cache) and print how long they took.
# The pip parts need PyPI: where it cannot be reached they are skipped
# (exit status 77, with the reason).  Each run of the package is sandboxed
# (run_sandboxed); where the sandbox cannot be made (exit status 77), the
# rest is skipped.
#
#   install_test.sh BUILD_DIR WORK_DIR CMAKE PYTHON RUN_SANDBOXED PYTHON_DIR LIBDIR DOCDIR SOURCE_DIR VERSION
set -euo pipefail
build=$1 work=$2 cmake=$3 python=$4 sandboxed=$5 pydir=$6 libdir=$7 docdir=$8 source=$9 version=${10}
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
skip_rest() { echo "$*: the remaining checks are skipped" >&2; exit $((failures ? 1 : 77)); }
run_sandboxed() { "$sandboxed" "$@" || { local rc=$?; ((rc != 77)) || skip_rest "no sandbox"; return $rc; }; }
# The package's ImportError without a GPU runtime, imported by the command
# $2...: names what is missing and the simulated platform's directory $1
# (no run path may lead there).
check_import_error() {
    local sim=$1 out
    shift
    if grep -q 'libqrv-runtime64\.so\.1 ' <<< "$(ldconfig -p)"; then
        echo "(not checked: this machine's loader finds a libqrv-runtime64.so.1)"
    elif out=$(env -u QRVD_SIM -u LD_PRELOAD -u PYTHONPATH "$@" -c "import dgfile" 2>&1); then
        fail "imported dgfile without a GPU runtime and without QRVD_SIM ($*)"
    else
        grep -qE "dgfile: the loader cannot find lib(dgrt|qrv-runtime64)\.so\.1.*set QRVD_SIM=1 before importing dgfile \(the simulated platform is in $sim\)" <<< "$out" ||
            fail "the ImportError does not say what is missing and how to simulate: $out"
    fi
}
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" > "$work/install.log"
package=$prefix/$pydir/dgfile
for f in __init__.py _aio.py _platform.py _types.py safetensors.py _paths.py _version.py _dgfile.pyi _simswitch.pyi py.typed; do
    [[ -f $package/$f ]] || fail "missing $pydir/dgfile/$f"
done
for part in _dgfile _simswitch; do
    compgen -G "$package/$part.*.so" > /dev/null || fail "missing the compiled part $part in $pydir/dgfile"
done

echo "== imported from $prefix/$pydir without a GPU runtime"
check_import_error "$prefix/$libdir/dgfile-sim" env PYTHONPATH="$prefix/$pydir" "$python"

echo "== the installed example on the simulated platform"
mkdir -p "$work/checkpoint"
QRVD_SIM=1 PYTHONPATH="$prefix/$pydir" run_sandboxed "$python" "$prefix/$docdir/examples/python/checkpoint_loader.py" \
    "$work/checkpoint" --make 3 --shard-size 1000000 || fail "the installed example failed"

echo "== the installed layout names the project's version $version"
[[ -f $prefix/$libdir/libdgfile.so.$version ]] || fail "no $libdir/libdgfile.so.$version"
grep -qx "__version__ = \"$version\"" "$package/_version.py" || fail "_version.py: $(cat "$package/_version.py")"
pc=$(PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig pkg-config --modversion dgfile) && [[ $pc == "$version" ]] ||
    fail "pkg-config gives version '$pc'"

# pip with a cache that every build of this run (and the next) shares.
export PIP_CACHE_DIR=$build/tests/python/pip-cache PIP_NO_INPUT=1
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} PYTHONDONTWRITEBYTECODE=1
# Builds with pip (or python -m build): prints the time taken; the log is
# shown when it fails.
timed() {
    local what=$1 started=$SECONDS
    shift
    if "$@" > "$work/pip.log" 2>&1; then
        echo "$what: $((SECONDS - started)) s"
    else
        cat "$work/pip.log"
        fail "$what failed"
        return 1
    fi
}
new_venv() {
    "$python" -m venv "$1" && "$1/bin/python" -c "import sys; assert sys.prefix != sys.base_prefix" &&
        ! "$1/bin/python" -c "import numpy" 2> /dev/null || skip_rest "cannot make a fresh virtual environment"
}
head -c 3000000 /dev/urandom > "$work/data.bin"
awk '/^```python$/ { n++; next } /^```/ { if (n == 1) exit } n == 1' "$source/README.md" > "$work/load.py"

echo "== pip install of the source tree in a fresh virtual environment"
venv=$work/venv
new_venv "$venv"
if ! out=$("$venv/bin/pip" download --no-deps --timeout 20 --retries 1 -q -d "$work/probe" scikit-build-core 2>&1); then
    skip_rest "PyPI cannot be reached (pip download scikit-build-core: $(tail -1 <<< "$out"))"
fi
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
if timed "pip install $source (isolated build)" "$venv/bin/pip" install "$source"; then
    check_import_error "$site/dgfile/sim" "$venv/bin/python"
    out=$(QRVD_SIM=1 run_sandboxed "$venv/bin/python" -W error "$work/load.py" "$work/data.bin") &&
        [[ $out == "3000000 bytes of $work/data.bin are in GPU memory" ]] || fail "load.py: $out"
    out=$(QRVD_SIM=1 run_sandboxed "$venv/bin/python" -c "
import dgfile, importlib.metadata
print(dgfile.__file__, dgfile.__version__, importlib.metadata.version('dgfile'))") &&
        [[ $out == "$site/dgfile/__init__.py $version $version" ]] || fail "the package, its version: $out"
    "$venv/bin/pip" uninstall -y -q dgfile || fail "pip uninstall failed"
    [[ ! -e $site/dgfile ]] || fail "pip uninstall left $(find "$site/dgfile")"
fi

echo "== pip install ./python against the installed library"
if timed "pip install $source/python (isolated build)" env CMAKE_PREFIX_PATH="$prefix" \
        "$venv/bin/pip" install "$source/python"; then
    [[ ! -e $site/dgfile/libdgfile.so.1 ]] || fail "the package built alone carries its own libdgfile"
    check_import_error "$prefix/$libdir/dgfile-sim" "$venv/bin/python"
    QRVD_SIM=1 run_sandboxed "$venv/bin/python" -c "
import dgfile, importlib.metadata
assert dgfile.__file__.startswith('$site/'), dgfile.__file__
assert dgfile.__version__ == importlib.metadata.version('dgfile') == '$version'
with dgfile.DeviceBuffer(3000000) as gpu:
    assert dgfile.load('$work/data.bin', gpu) == 3000000
    out = bytearray(3000000)
    gpu.copy_to(out)
    assert out == open('$work/data.bin', 'rb').read()
print('dgfile built against the installed library loaded 3000000 bytes: bytes match')" ||
        fail "the package built against the installed library failed"
fi

echo "== python -m build, then the sdist and the wheel in a second fresh virtual environment"
venv=$work/venv2
new_venv "$venv"
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
timed "pip install build pytest numpy>=2 safetensors" "$venv/bin/pip" install build pytest "numpy>=2" safetensors ||
    skip_rest "the tools could not be installed"
timed "python -m build (sdist, then a wheel from it)" "$venv/bin/python" -m build --outdir "$work/dist" "$source"
for dist in "$work/dist/dgfile-$version.tar.gz" "$work/dist/dgfile-$version"-*.whl; do
    [[ -f $dist ]] || { fail "python -m build made no $(basename "$dist") (made: $(ls "$work/dist"))"; continue; }
    timed "pip install $(basename "$dist")" "$venv/bin/pip" install "$dist" || continue
    echo "== the package's tests against $(basename "$dist"), NumPy $("$venv/bin/python" -c 'import numpy; print(numpy.__version__)')"
    QRVD_SIM=1 run_sandboxed "$venv/bin/python" -m pytest -q -p no:cacheprovider --basetemp="$work/pytest" \
        "$source/tests/python" || fail "the package's tests failed against $(basename "$dist")"
    "$venv/bin/pip" uninstall -y -q dgfile || fail "pip uninstall failed"
done
"$venv/bin/python" -c "import numpy, sys; sys.exit(numpy.__version__.split('.')[0] != '2')" ||
    fail "the tests ran without NumPy 2"

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
rm -rf "$work"
echo "Python install checks passed"
