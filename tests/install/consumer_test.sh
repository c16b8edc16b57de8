#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the project as a package build does (staged under DESTDIR for
# its final prefix, then unpacked there), checks its layout and that no
# package file or run path points into the build or the staging directory,
# then builds the consumer project (a C program, and a C++ one through
# dgfile.hpp) through pkg-config, runs the README's two install recipes word
# for word, moves the installed tree elsewhere (the CMake package must not
# care where it lies) and builds it through the CMake package; each build
# runs on the installed simulated platform.
#
#   consumer_test.sh BUILD_DIR CONSUMER_SRC WORK_DIR CC CMAKE PKG_CONFIG
#                    LIBDIR INCLUDEDIR BINDIR LIBEXECDIR MANDIR DOCDIR VERSION
#                    TOOLS(0/1) CXX [C_FLAGS, also for C++]
set -euo pipefail
build=$1 consumer_src=$2 work=$3 cc=$4 cmake=$5 pkg_config=$6
libdir=$7 includedir=$8 bindir=$9 libexecdir=${10} mandir=${11} docdir=${12}
version=${13} tools=${14} cxx=${15} cflags=${16:-}
source_dir=$(cd "$consumer_src/../../.." && pwd)

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

rm -rf "$work"
mkdir -p "$work/scratch"
prefix=$work/prefix
DESTDIR=$work/destdir "$cmake" --install "$build" --prefix "$prefix" > "$work/install.log"
mv "$work/destdir$prefix" "$prefix"
echo "installed for $prefix under DESTDIR $work/destdir, then moved there"

# --- pkg-config files: the prefix, absolute, as packagers expect -------------
for pc in dgfile dgfile-sim; do
    file=$prefix/$libdir/pkgconfig/$pc.pc
    [[ $(sed -n 's/^prefix=//p' "$file") == "$prefix" ]] ||
        fail "$pc.pc: prefix is '$(sed -n 's/^prefix=//p' "$file")', not $prefix"
done

# --- layout --------------------------------------------------------------
major=${version%%.*}
tool_files=()
if ((tools)); then
    tool_files=("$bindir/dgfile-bench" "$bindir/dgfile-doctor"
                "$libexecdir/dgfile/dgfile-bench" "$libexecdir/dgfile/dgfile-doctor"
                "$mandir/man1/dgfile-bench.1" "$mandir/man1/dgfile-doctor.1")
fi
for f in "$libdir/libdgfile.so.$version" "$includedir/dgfile.h" "$includedir/dgfile.hpp" \
         "${tool_files[@]}" "$docdir/README.md" "$docdir/NEWS" "$docdir/LICENSE" \
         "$mandir/man3/libdgfile.3" "$mandir/man3/dgfile.hpp.3" \
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
grep -q ' T dgFileRead$' <<< "$(nm -D --defined-only "$prefix/$libdir/libdgfile.so.$version")" ||
    fail "libdgfile.so does not export dgFileRead"

# --- no build, source or staging paths --------------------------------------
# (The pkg-config files name the prefix, which lies in the build directory.)
for path in "$build" "$source_dir" "$work/destdir"; do
    hits=$(find "$prefix/$libdir/cmake" "$prefix/$libdir/pkgconfig" -type f \
               -exec sh -c 'sed "s|$1||g" "$2" | grep -qF -- "$3"' sh "$prefix" {} "$path" \; -print)
    [[ -z $hits ]] || fail "package files mention $path: $hits"
done
while IFS= read -r -d '' f; do
    head -c 4 "$f" | grep -q 'ELF' || continue
    runpath=$(readelf -d "$f" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p')
    IFS=: read -r -a entries <<< "$runpath"
    for e in "${entries[@]}"; do
        [[ $e == '$ORIGIN'* ]] || fail "run path entry '$e' of ${f#"$prefix"/}"
        # Only the simulated platform's own libraries may reach its directory.
        if [[ $e == *dgfile-sim* && $f != "$prefix/$libdir/dgfile-sim/"* ]]; then
            fail "run path entry '$e' of ${f#"$prefix"/} reaches the simulated platform"
        fi
    done
    if [[ $f != "$prefix/$libdir/dgfile-sim/"* ]] &&
       grep -q 'NEEDED.*\[libqrvd-sim' <<< "$(readelf -d "$f")"; then
        fail "${f#"$prefix"/} names the driver stand-in as needed"
    fi
    echo "run path of ${f#"$prefix"/}: ${runpath:-(none)}"
done < <(find "$prefix" -type f -print0)

# --- the library alone: the simulated platform and the tools left out ------
"$cmake" --install "$build" --prefix "$work/alone" --component dgfile > /dev/null
for f in "$libdir/dgfile-sim" "$includedir/dgfile-sim" "$bindir" "$libexecdir/dgfile" \
         "$libdir/pkgconfig/dgfile-sim.pc"; do
    [[ -e $work/alone/$f ]] && fail "--component dgfile installed $f"
done
[[ -f $work/alone/$libdir/libdgfile.so.$version ]] || fail "--component dgfile left out the library"
grep -qx "prefix=$work/alone" "$work/alone/$libdir/pkgconfig/dgfile.pc" ||
    fail "--component dgfile: dgfile.pc does not name the prefix $work/alone"
# The consumer asks for the component sim, which this tree does not have.
if "$cmake" -S "$consumer_src" -B "$work/alone-build" -DCMAKE_PREFIX_PATH="$work/alone" \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" > "$work/alone-configure.log" 2>&1; then
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

echo "== consumer built with pkg-config"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
[[ $("$pkg_config" --modversion dgfile) == "$version" ]] || fail "dgfile.pc version"
[[ $("$pkg_config" --variable=libdir dgfile) == "$prefix/$libdir" ]] ||
    fail "dgfile.pc libdir is '$("$pkg_config" --variable=libdir dgfile)', not $prefix/$libdir"
# shellcheck disable=SC2046 # the flags are meant to split into words
"$cc" $cflags -o "$work/consumer-pc" "$consumer_src/consumer.c" \
    $("$pkg_config" --cflags --libs dgfile dgfile-sim) \
    -Wl,-rpath,"$("$pkg_config" --variable=libdir dgfile)"
check_resolved "$work/consumer-pc"
run_consumer "$work/consumer-pc"
# shellcheck disable=SC2046
"$cxx" -std=c++17 $cflags -o "$work/consumer-cpp-pc" "$consumer_src/consumer.cpp" \
    $("$pkg_config" --cflags --libs dgfile dgfile-sim) \
    -Wl,-rpath,"$("$pkg_config" --variable=libdir dgfile)"
check_resolved "$work/consumer-cpp-pc"
run_consumer "$work/consumer-cpp-pc"

# --- the README's files and recipes, word for word ---------------------------
# Each code block after a "<!-- file: NAME -->" line is saved as NAME in a
# fresh directory, as a newcomer would; each shell block after a
# "<!-- recipe: NAME -->" line runs there with the installed prefix for
# /opt/dgfile, and this build's cc, cmake and pkg-config (with its compiler
# flags, and warnings as errors).  CMake must not warn either.
readme=$consumer_src/../../../README.md
block_after() {  # the block after the line $1
    awk -v mark="$1" '
        $0 == mark { want = 1; next }
        want && /^```/ && !inside { inside = 1; next }
        inside && /^```/ { exit }
        inside { print }' "$readme"
}
newcomer=$work/newcomer
mkdir -p "$newcomer"
while IFS= read -r name; do
    block_after "<!-- file: $name -->" > "$newcomer/$name"
done < <(sed -n 's/^<!-- file: \(.*\) -->$/\1/p' "$readme")
for name in consumer.c CMakeLists.txt; do
    [[ -s $newcomer/$name ]] || fail "the README gives no $name"
done
for recipe in prefix cmake pkg-config; do
    echo "== the README's $recipe recipe"
    script=$(block_after "<!-- recipe: $recipe -->")
    [[ -n $script ]] || { fail "no $recipe recipe in the README"; continue; }
    dir=$work/recipe-$recipe
    rm -rf "$dir"
    cp -r "$newcomer" "$dir"
    log=$work/recipe-$recipe.log
    if ! (cd "$dir" &&
          export CC="$cc" CFLAGS="$cflags -Wall -Wextra -Werror" CMAKE="$cmake" PKG_CONFIG_BIN="$pkg_config" &&
          cc() { "$CC" $CFLAGS "$@"; } &&
          cmake() { "$CMAKE" "$@"; } &&
          pkg-config() { "$PKG_CONFIG_BIN" "$@"; } &&
          export -f cc cmake pkg-config &&
          env -u QRVD_SIM -u QRVD_SIM_FAULT -u DGFILE_DISABLE_GDS -u DGFILE_DISABLE_CPU \
              bash -euc "${script//\/opt\/dgfile/$prefix}"'
                  echo "PATH=$PATH"; echo "MANPATH=${MANPATH:-}"
                  echo "LD_LIBRARY_PATH=${LD_LIBRARY_PATH:-}"') > "$log" 2>&1; then
        cat "$log"
        fail "the README's $recipe recipe failed"
        continue
    fi
    if grep -q 'CMake Warning' "$log"; then cat "$log"; fail "CMake warns in the $recipe recipe"; fi
done
# The prefix's variables lead first to what the prefix holds.
for entry in "PATH dgfile-bench" "MANPATH man3/libdgfile.3" "LD_LIBRARY_PATH libdgfile.so.$major"; do
    read -r variable file <<< "$entry"
    [[ $variable == PATH ]] && ((! tools)) && continue
    first=$(sed -n "s/^$variable=//p" "$work/recipe-prefix.log" | cut -d: -f1)
    [[ -f $first/$file ]] || fail "the README's $variable leads first to '$first', which has no $file"
done

# --- the tree moved: the CMake package and the tools do not care ------------
mv "$prefix" "$work/moved"
prefix=$work/moved
echo "== installed tree moved to $prefix"
if ((tools)); then
    [[ $("$prefix/$bindir/dgfile-bench" --version) == "$version" ]] ||
        fail "installed dgfile-bench --version does not print $version"
    "$prefix/$bindir/dgfile-doctor" --help > /dev/null ||
        fail "installed dgfile-doctor --help failed"
fi

echo "== consumer built with find_package"
"$cmake" -S "$consumer_src" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_CXX_FLAGS="$cflags" -DCMAKE_BUILD_TYPE=Debug \
    > "$work/cmake-configure.log" || { cat "$work/cmake-configure.log"; exit 1; }
"$cmake" --build "$work/cmake-build" > "$work/cmake-build.log" ||
    { cat "$work/cmake-build.log"; exit 1; }
for program in consumer consumer_cpp; do
    check_resolved "$work/cmake-build/$program"
    run_consumer "$work/cmake-build/$program"
done

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
rm -rf "$work"
echo "install and consumer checks passed"
