#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The README's commands and code cannot go stale:
#  - every package its quick start installs is one CI installs;
#  - every command of its shell blocks, and of its sample outputs, that starts
#    a tool of the build tree runs here, from a scratch directory, and
#    succeeds;
#  - its C and C++ code compiles; a whole program also runs on the simulated
#    platform, and fails on a short file;
#  - (its Python script runs in the Python package's tests).
# The install test saves the README's files (the CMake project and its C
# program) and runs its install recipes, word for word.
# The quick start's build and test commands are those of the CI job
# `normal`.
#
#   readme_test.sh SOURCE_DIR BUILD_DIR CC LINK (a whole program's flags and libraries) CXX
set -euo pipefail
source_dir=$1 build=$2 cc=$3 link=$4 cxx=$5
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
    compile=("$cc" -std=gnu11 -Wall -Werror -I "$source_dir/include" -I "$source_dir/sim/include" -x c "$block")
    "${compile[@]}" -fsyntax-only || fail "the README's C code ($(head -1 "$block")) does not compile"
    grep -q '^int main' "$block" || continue
    "${compile[@]}" -x none -o "$work/p" $link || { fail "the README's program does not link"; continue; }
    head -c 1M /dev/urandom > "$work/data" && QRVD_SIM=1 "$work/p" "$work/data" || fail "the README's program failed"
    truncate -s 4K "$work/data" && ! QRVD_SIM=1 "$work/p" "$work/data" 2> /dev/null || fail "it passed a short file"
done

# C++ code: a whole program as above; a fragment inside a function that
# gives it `path` and `gpu`.
for block in "$work"/cpp.*; do
    program=$block.cpp
    grep -q '^int main' "$block" && cp "$block" "$program" ||
        printf '#include <dgfile.hpp>\nvoid f(const char* path, void* gpu) {\n%s\n(void)n; }\n' \
            "$(cat "$block")" > "$program"
    compile=("$cxx" -std=c++17 -Wall -Wextra -Werror -I "$source_dir/include" -I "$source_dir/sim/include" "$program")
    "${compile[@]}" -fsyntax-only || fail "the README's C++ code ($(head -1 "$block")) does not compile"
    grep -q '^int main' "$block" || continue
    "${compile[@]}" -o "$work/p" $link || { fail "the README's C++ program does not link"; continue; }
    head -c 1M /dev/urandom > "$work/data" && QRVD_SIM=1 "$work/p" "$work/data" || fail "the README's C++ program failed"
    truncate -s 4K "$work/data" && ! QRVD_SIM=1 "$work/p" "$work/data" 2> /dev/null || fail "the C++ program passed a short file"
done

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "README checks passed"
