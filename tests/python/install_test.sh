#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Python package as users install it:
#  - cmake --install puts it under the prefix's Python directory; imported
#    from there (PYTHONPATH), it explains that no GPU runtime is found, and
#    with QRVD_SIM=1 it runs the installed example on the simulated platform;
#  - pip install --no-build-isolation builds it from the sources against the
#    installed library (pkg-config) into a virtual environment, where it
#    imports and loads a file.
# Each run of the package is sandboxed (run_sandboxed); where the sandbox
# cannot be made (exit status 77), the rest is skipped.
#
#   install_test.sh BUILD_DIR WORK_DIR CMAKE PYTHON RUN_SANDBOXED PYTHON_DIR LIBDIR DOCDIR SOURCE_DIR
set -euo pipefail
build=$1 work=$2 cmake=$3 python=$4 sandboxed=$5 pydir=$6 libdir=$7 docdir=$8 source=$9
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
run_sandboxed() { "$sandboxed" "$@" || { local rc=$?; ((rc != 77)) || exit $((failures ? 1 : 77)); return $rc; }; }
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" > "$work/install.log"
package=$prefix/$pydir/dgfile
for f in __init__.py _platform.py _types.py _paths.py _dgfile.pyi _simswitch.pyi py.typed; do
    [[ -f $package/$f ]] || fail "missing $pydir/dgfile/$f"
done
for part in _dgfile _simswitch; do
    compgen -G "$package/$part.*.so" > /dev/null || fail "missing the compiled part $part in $pydir/dgfile"
done

echo "== imported from $prefix/$pydir without a GPU runtime"
if grep -q 'libqrv-runtime64\.so\.1 ' <<< "$(ldconfig -p)"; then
    echo "(skipped: this machine's loader finds a libqrv-runtime64.so.1)"
elif out=$(env -u QRVD_SIM -u LD_PRELOAD PYTHONPATH="$prefix/$pydir" "$python" -c "import dgfile" 2>&1); then
    fail "imported without a GPU runtime and without QRVD_SIM"
else
    grep -qE "dgfile: the loader cannot find lib(dgrt|qrv-runtime64)\.so\.1.*set QRVD_SIM=1 before importing dgfile \(the simulated platform is in $prefix/$libdir/dgfile-sim\)" <<< "$out" ||
        fail "the ImportError does not say what is missing and how to simulate: $out"
fi

echo "== the installed example on the simulated platform"
mkdir -p "$work/checkpoint"
QRVD_SIM=1 PYTHONPATH="$prefix/$pydir" run_sandboxed "$python" "$prefix/$docdir/examples/python/checkpoint_loader.py" \
    "$work/checkpoint" --make 3 --shard-size 1000000 || fail "the installed example failed"

echo "== pip install --no-build-isolation against the installed library"
cp -r "$source/python" "$work/src"
"$python" -m venv --system-site-packages "$work/venv"
if PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig "$work/venv/bin/pip" install --no-build-isolation \
       --no-index --no-deps -q "$work/src" > "$work/pip.log" 2>&1; then
    head -c 3000000 /dev/urandom > "$work/data.bin"
    QRVD_SIM=1 run_sandboxed "$work/venv/bin/python" -c "
import dgfile
assert dgfile.__file__.startswith('$work/venv/'), dgfile.__file__
with dgfile.DeviceBuffer(3000000) as gpu:
    assert dgfile.load('$work/data.bin', gpu) == 3000000
    out = bytearray(3000000)
    gpu.copy_to(out)
    assert out == open('$work/data.bin', 'rb').read()
print('pip-installed dgfile loaded 3000000 bytes: bytes match')" || fail "the pip-installed package failed"
else
    cat "$work/pip.log"
    fail "pip install --no-build-isolation failed"
fi

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
rm -rf "$work"
echo "Python install checks passed"
