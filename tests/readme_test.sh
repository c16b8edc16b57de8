#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The README's commands and code cannot go stale:
#  - every package its quick start installs is one CI installs;
#  - every command of its shell blocks, and of its sample outputs, that starts
#    a tool of the build tree runs here, from a scratch directory, and
#    succeeds;
#  - its C code compiles against the public header; a whole program links
#    with the build's library and runs on its simulated platform, reading a
#    file whole, and fails on a file too short;
#  - its CMake code is the consumer project's that the install test builds
#    (that test runs the install recipes themselves, word for word).
# The quick start's build and test commands are those of the CI job
# `normal`.
#
#   readme_test.sh SOURCE_DIR BUILD_DIR CC [CFLAGS (the build's sanitizer or coverage flags)]
set -euo pipefail
source_dir=$1 build=$2 cc=$3 cflags=${4:-}
readme=$source_dir/README.md
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The fenced blocks of a kind, each as a file $work/<kind>.<n>.
awk -v dir="$work" '
    /^```/ { if (kind == "" && length($0) > 3) { kind = substr($0, 4); n[kind]++;
                                                 file = dir "/" kind "." n[kind]; next }
             if (kind != "") { kind = ""; close(file); next } }
    kind != "" { print > file }' "$readme"

shopt -s nullglob
sh_blocks=("$work"/sh.*)
((${#sh_blocks[@]})) || fail "no shell block in the README"

# The quick start's packages.
ci_packages=$(sed -n '/^packages=(/,/)/p' "$source_dir/.ci/run" | sed 's/^packages=//' |
    tr -d '()' | tr -s ' \n' '\n')
for package in $(grep -ho 'apt-get install -y [^&]*' "${sh_blocks[@]}" | cut -d' ' -f4-); do
    grep -qx -- "$package" <<< "$ci_packages" || fail "the README installs $package, CI does not"
done

# Tool commands of the build tree, each once.
while IFS= read -r command; do
    echo "== $command"
    # shellcheck disable=SC2086 # the command's words
    if ! (cd "$work" && TMPDIR=$work ${command/build\//$build/} > "$work/out" 2>&1); then
        cat "$work/out" >&2
        fail "'$command' failed"
    fi
done < <(cat "${sh_blocks[@]}" "$work"/text.* |
         grep -o 'build/tools/[a-z-]*\( [^&]*\)\?' | sed 's/ *$//' | sort -u)

# C code.
for block in "$work"/c.*; do
    compile=("$cc" -std=gnu11 -Wall -Werror -I "$source_dir/include" -I "$source_dir/sim/include")
    "${compile[@]}" -fsyntax-only -x c "$block" ||
        fail "the README's C code ($(head -1 "$block")) does not compile"
    grep -q '^int main' "$block" || continue
    # shellcheck disable=SC2086 # the flags' words
    "${compile[@]}" $cflags -x c "$block" -x none -o "$work/program" -Wl,--no-as-needed,-rpath,"$build:$build/sim" \
        "$build/sim/libqrvd-sim.so" "$build/libdgfile.so" "$build/sim/libdgrt.so" "$build/sim/libqrv-runtime64.so"
    head -c 1M /dev/urandom > "$work/data"
    run=(env -u DGFILE_DISABLE_GDS -u DGFILE_DISABLE_CPU -u QRVD_SIM_FAULT QRVD_SIM=1 "$work/program" "$work/data")
    "${run[@]}" || fail "the README's program failed on a 1 MiB file"
    truncate -s 4K "$work/data"
    ! "${run[@]}" 2> /dev/null || fail "the README's program succeeded on a 4 KiB file"
done

# CMake code: the consumer project's, line for line.
consumer=$source_dir/tests/install/consumer/CMakeLists.txt
for block in "$work"/cmake.*; do
    while IFS= read -r line; do
        [[ -z $line ]] && continue
        grep -qxF -- "$line" "$consumer" || fail "README CMake line not in $consumer: $line"
    done < "$block"
done

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "README checks passed"
