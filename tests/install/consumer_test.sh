#!/usr/bin/env bash
# Installs the project into a temporary prefix, moves the installed tree
# elsewhere (it must not care where it lies), checks its layout and that no
# package file or run path points into the build, then builds the consumer
# project twice (CMake package, pkg-config) and runs each build on the
# installed simulated platform.
#
#   consumer_test.sh BUILD_DIR CONSUMER_SRC WORK_DIR CC CMAKE PKG_CONFIG
#                    LIBDIR INCLUDEDIR BINDIR MANDIR DOCDIR VERSION [C_FLAGS]
set -euo pipefail
build=$1 consumer_src=$2 work=$3 cc=$4 cmake=$5 pkg_config=$6
libdir=$7 includedir=$8 bindir=$9 mandir=${10} docdir=${11} version=${12}
cflags=${13:-}
source_dir=$(cd "$consumer_src/../../.." && pwd)

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

rm -rf "$work"
mkdir -p "$work/scratch"
"$cmake" --install "$build" --prefix "$work/staged" > "$work/install.log"
mv "$work/staged" "$work/prefix"
prefix=$work/prefix
echo "installed into $work/staged, moved to $prefix"

# --- layout --------------------------------------------------------------
major=${version%%.*}
for f in "$libdir/libdgfile.so.$version" "$includedir/dgfile.h" \
         "$bindir/dgfile-bench" "$bindir/dgfile-doctor" \
         "$mandir/man1/dgfile-bench.1" "$mandir/man1/dgfile-doctor.1" "$mandir/man3/libdgfile.3" \
         "$docdir/README.md" \
         "$libdir/cmake/dgfile/dgfileConfig.cmake" \
         "$libdir/cmake/dgfile/dgfileConfigVersion.cmake" \
         "$libdir/pkgconfig/dgfile.pc" "$libdir/pkgconfig/dgfile-sim.pc" \
         "$libdir/dgfile-sim/libqrv-runtime64.so.1.0.0" \
         "$libdir/dgfile-sim/libdgrt.so.1.0.0" "$libdir/dgfile-sim/libqrvd-sim.so" \
         "$includedir/dgfile-sim/qrvd_sim.h" "$includedir/dgfile-sim/dgrt.h" \
         "$includedir/dgfile-sim/qrv_runtime.h" "$includedir/dgfile-sim/qrvd_ioctl.h"; do
    [[ -f $prefix/$f && ! -L $prefix/$f ]] || fail "missing file $f"
done
[[ $(readlink "$prefix/$libdir/libdgfile.so.$major") == "libdgfile.so.$version" ]] ||
    fail "libdgfile.so.$major is not a link to libdgfile.so.$version"
[[ $(readlink "$prefix/$libdir/libdgfile.so") == "libdgfile.so.$major" ]] ||
    fail "libdgfile.so is not a link to libdgfile.so.$major"
soname=$(readelf -d "$prefix/$libdir/libdgfile.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[[ $soname == "libdgfile.so.$major" ]] || fail "SONAME is '$soname'"
# The simulated runtime must never sit where it could shadow a real one.
for f in "$prefix/$libdir"/libqrv-runtime64* "$prefix/$libdir"/libdgrt* \
         "$prefix/$libdir"/libqrvd-sim*; do
    [[ -e $f ]] && fail "simulated platform library in the library directory: $f"
done
nm -D --defined-only "$prefix/$libdir/libdgfile.so.$version" | grep -q ' T dgFileRead$' ||
    fail "libdgfile.so does not export dgFileRead"

# --- no build, source or install-time paths --------------------------------
for path in "$build" "$source_dir" "$work/staged"; do
    hits=$(grep -rlF -- "$path" "$prefix/$libdir/cmake" "$prefix/$libdir/pkgconfig" || true)
    [[ -z $hits ]] || fail "package files mention $path: $hits"
done
while IFS= read -r -d '' f; do
    head -c 4 "$f" | grep -q 'ELF' || continue
    runpath=$(readelf -d "$f" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p')
    IFS=: read -r -a entries <<< "$runpath"
    for e in "${entries[@]}"; do
        [[ $e == '$ORIGIN'* ]] || fail "run path entry '$e' of ${f#"$prefix"/}"
    done
    echo "run path of ${f#"$prefix"/}: ${runpath:-(none)}"
done < <(find "$prefix" -type f -print0)

# --- the installed tools start from the moved tree ---------------------------
[[ $("$prefix/$bindir/dgfile-bench" --version) == "$version" ]] ||
    fail "installed dgfile-bench --version does not print $version"
"$prefix/$bindir/dgfile-doctor" --help > /dev/null || fail "installed dgfile-doctor --help failed"

# --- the library alone: the simulated platform and the tools left out ------
"$cmake" --install "$build" --prefix "$work/alone" --component dgfile > /dev/null
for f in "$libdir/dgfile-sim" "$includedir/dgfile-sim" "$bindir" \
         "$libdir/pkgconfig/dgfile-sim.pc"; do
    [[ -e $work/alone/$f ]] && fail "--component dgfile installed $f"
done
[[ -f $work/alone/$libdir/libdgfile.so.$version ]] || fail "--component dgfile left out the library"
# The consumer asks for the component sim, which this tree does not have.
if "$cmake" -S "$consumer_src" -B "$work/alone-build" -DCMAKE_PREFIX_PATH="$work/alone" \
        -DCMAKE_C_COMPILER="$cc" > "$work/alone-configure.log" 2>&1; then
    fail "find_package(dgfile COMPONENTS sim) succeeded without the component sim"
fi

# --- consumers ------------------------------------------------------------
# Each must resolve the library and the simulated platform from the prefix.
check_resolved() {
    local program=$1 entry soname dir trace resolved
    trace=$(LD_TRACE_LOADED_OBJECTS=1 "$program")
    for entry in "libdgfile.so.$major:$prefix/$libdir" \
                 "libqrv-runtime64.so.1:$prefix/$libdir/dgfile-sim" \
                 "libdgrt.so.1:$prefix/$libdir/dgfile-sim" \
                 "libqrvd-sim.so:$prefix/$libdir/dgfile-sim"; do
        soname=${entry%%:*} dir=${entry#*:}
        resolved=$(awk -v so="$soname" '$1 == so && $2 == "=>" { print $3 }' <<< "$trace")
        if [[ -z $resolved ]] ||
           [[ $(realpath "$resolved") != "$(realpath "$dir/$soname")" ]]; then
            fail "$(basename "$program") loads $soname from '${resolved:-nowhere}', not $dir"
        fi
    done
}
run_consumer() {
    local program=$1
    (cd "$work/scratch" &&
        env -u QRVD_SIM -u QRVD_SIM_FAULT -u DGFILE_DISABLE_GDS -u DGFILE_DISABLE_CPU \
            "$program" "$work/scratch") || fail "$(basename "$program") failed"
}

echo "== consumer built with find_package"
"$cmake" -S "$consumer_src" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags" -DCMAKE_BUILD_TYPE=Debug \
    > "$work/cmake-configure.log" || { cat "$work/cmake-configure.log"; exit 1; }
"$cmake" --build "$work/cmake-build" > "$work/cmake-build.log" ||
    { cat "$work/cmake-build.log"; exit 1; }
check_resolved "$work/cmake-build/consumer"
run_consumer "$work/cmake-build/consumer"

echo "== consumer built with pkg-config"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
[[ $("$pkg_config" --modversion dgfile) == "$version" ]] || fail "dgfile.pc version"
# shellcheck disable=SC2046 # the flags are meant to split into words
"$cc" $cflags -o "$work/consumer-pc" "$consumer_src/consumer.c" \
    $("$pkg_config" --cflags --libs dgfile dgfile-sim) \
    -Wl,-rpath,"$("$pkg_config" --variable=libdir dgfile)"
check_resolved "$work/consumer-pc"
run_consumer "$work/consumer-pc"

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
rm -rf "$work"
echo "install and consumer checks passed"
