#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# libdgfile as a part of another project (subproject/): configured with none
# of the packages the tests, tools and benchmarks need, it adds no test to
# the parent's unless DGFILE_BUILD_TESTS asks, its target names leave the
# parent's free (also with all of it switched on), and the consumer program
# builds with dgfile::dgfile and dgfile::sim and runs on the simulated platform.
#
#   subproject_test.sh SOURCE_DIR PARENT_SRC WORK_DIR CMAKE CTEST CC CXX
set -euo pipefail
source_dir=$1 parent_src=$2 work=$3 cmake=$4 ctest=$5 cc=$6 cxx=$7

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

rm -rf "$work"
mkdir -p "$work"
compilers=(-DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx")
no_packages=()
for p in GTest benchmark CLI11 nlohmann_json PkgConfig; do
    no_packages+=("-DCMAKE_DISABLE_FIND_PACKAGE_$p=ON")
done

echo "== configured as a subproject, without the test and tool packages"
"$cmake" -S "$parent_src" -B "$work/build" -DDGFILE_SOURCE_DIR="$source_dir" "${compilers[@]}" \
    "${no_packages[@]}" \
    > "$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
tests=$("$ctest" --test-dir "$work/build" -N | sed -n 's/^ *Test *#[0-9]*: //p')
[[ $tests == parent_consumer ]] || fail "the parent's tests are not just its own: $tests"

echo "== its tests, tools, examples and benchmarks switched on beside the parent's targets"
"$cmake" -S "$parent_src" -B "$work/all" -DDGFILE_SOURCE_DIR="$source_dir" "${compilers[@]}" \
    -DDGFILE_BUILD_TESTS=ON -DDGFILE_BUILD_TOOLS=ON -DDGFILE_BUILD_EXAMPLES=ON -DDGFILE_BUILD_BENCHMARKS=ON \
    > "$work/configure-all.log" 2>&1 || { cat "$work/configure-all.log"; fail "configure with tests, tools, examples and benchmarks"; }
grep -q ': exports$' <<< "$("$ctest" --test-dir "$work/all" -N)" || fail "DGFILE_BUILD_TESTS=ON added no test"

echo "== the consumer, built and run"
"$cmake" --build "$work/build" --target consumer -j2 > "$work/build.log" 2>&1 ||
    { cat "$work/build.log"; exit 1; }
(cd "$work/build" && env -u QRVD_SIM -u QRVD_SIM_FAULT -u DGFILE_DISABLE_GDS -u DGFILE_DISABLE_CPU \
    ./consumer "$work/build") || fail "the consumer built in the parent project failed"

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
rm -rf "$work"
echo "subproject checks passed"
