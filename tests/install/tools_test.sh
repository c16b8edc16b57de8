#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The installed dgfile-bench and dgfile-doctor on three machines, each made in
# a private mount namespace (own /dev, own /opt, own loader cache):
#   - no GPU stack at all: the tools simulate the GPU platform from its
#     installed directory (the doctor only when asked to); otherwise the
#     doctor reports the missing runtimes and where it looked, and the bench
#     names them and the switch that simulates;
#   - a GPU machine: its own GPU runtime and application runtime installed
#     where the loader finds system libraries (the loader's cache), and a
#     /dev/qrvd character device: the tools load the system's runtimes and
#     say so, and simulate only when asked to, then with the simulated
#     runtimes and driver;
#   - the same machine without /dev/qrvd: dgfile-bench simulates, the doctor
#     reports the machine as it is;
#   - the tools installed without the simulated platform (no component sim),
#     asked to simulate: each says that it cannot.
# The machine's runtimes are stand-ins (system/): a pointer query that knows
# no device memory and an application runtime on host memory, so transfers
# take the CPU fallback.  Their /dev/qrvd is /dev/null, which answers no
# transfer request.
#
#   tools_test.sh BUILD_DIR WORK_DIR SYSTEM_RUNTIME SYSTEM_DGRT CMAKE
#                 LIBDIR BINDIR LIBEXECDIR          (as root; 77: skipped)
set -euo pipefail

if [[ ${1:-} != --inside ]]; then
    if ((EUID != 0)); then
        echo "install_tools: skipped: needs root, to give the tools a /dev and a loader cache of their own"
        exit 77
    fi
    if ! unshare --mount --propagation unchanged true || [[ ! -f /etc/ld.so.cache || ! -d /opt ]]; then
        echo "install_tools: skipped: needs unshare (util-linux) with CAP_SYS_ADMIN," \
             "/etc/ld.so.cache and /opt"
        exit 77
    fi
    work=$2 cmake=$5
    rm -rf "$work"
    mkdir -p "$work/scratch"
    "$cmake" --install "$1" --prefix "$work/prefix" > "$work/install.log"
    for component in dgfile tools; do
        "$cmake" --install "$1" --prefix "$work/no-sim" --component "$component" >> "$work/install.log"
    done
    # The work directory holds mount points inside the namespace: it is
    # removed out here, where they do not exist.
    rc=0
    # In a chroot "/" is no mount point: the namespace is made private from
    # its own root, where nsenter goes.
    unshare --mount --propagation unchanged bash -c \
        'nsenter --mount=/proc/self/ns/mnt mount --make-rprivate / && exec bash "$@"' \
        bash "$0" --inside "$@" || rc=$?
    ((rc != 0)) || rm -rf "$work"
    exit "$rc"
fi
shift
build=$1 work=$2 system_runtime=$3 system_dgrt=$4 libdir=$6 bindir=$7 libexecdir=$8
prefix=$work/prefix
bench=$prefix/$bindir/dgfile-bench
doctor=$prefix/$bindir/dgfile-doctor
sim=$(realpath "$prefix/$libdir/dgfile-sim")
system_lib=$work/system-lib
echo "installed from $build into $prefix"

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Runs a tool with a clean environment; its output in $out, status in $rc.
run() {
    rc=0
    out=$(env -u QRVD_SIM -u QRVD_SIM_FAULT -u DGFILE_DISABLE_GDS -u DGFILE_DISABLE_CPU \
              -u DGFILE_DEBUG -u LD_PRELOAD -u LD_LIBRARY_PATH "$@" 2>&1) || rc=$?
    printf '$ %s\n%s\n(exit %d)\n' "$*" "$out" "$rc"
}
expect_rc() { ((rc == $1)) || fail "$2: exit $rc, not $1"; }
expect_line() {  # a whole line of the output
    grep -qxF -- "$1" <<< "$out" || fail "$2: no line '$1'"
}
expect_text() {  # text anywhere in the output
    grep -qF -- "$1" <<< "$out" || fail "$2: no '$1'"
}

# --- what the installed tools name: nothing of the simulated platform --------
for f in "$bench" "$doctor" "$prefix/$libexecdir/dgfile/dgfile-bench" \
         "$prefix/$libexecdir/dgfile/dgfile-doctor"; do
    dynamic=$(readelf -d "$f")
    if grep -q 'NEEDED.*\[libqrvd-sim' <<< "$dynamic"; then fail "$f needs the driver stand-in"; fi
    if grep -q 'R.*PATH.*dgfile-sim' <<< "$dynamic"; then fail "$f has a run path into dgfile-sim"; fi
done

# --- a private /opt, and a /dev with the usual nodes bound from the real one --
mount -t tmpfs -o mode=0755 tmpfs /opt
mkdir -p "$work/dev"
nodes=(null zero full random urandom)
for n in "${nodes[@]}"; do
    touch "$work/dev/$n"
    mount --bind "/dev/$n" "$work/dev/$n"
done
mount -t tmpfs -o mode=0755 tmpfs /dev
for n in "${nodes[@]}"; do
    touch "/dev/$n"
    mount --bind "$work/dev/$n" "/dev/$n"
done
ln -s /proc/self/fd /dev/fd
# A character device that no GPU driver stands behind.
add_device() { touch /dev/qrvd && mount --bind /dev/null /dev/qrvd; }
remove_device() { umount /dev/qrvd && rm /dev/qrvd; }

scratch=$work/scratch
if ! dd if=/dev/zero of="$scratch/probe" bs=4096 count=1 oflag=direct status=none 2> /dev/null; then
    echo "install_tools: skipped: $scratch does not take O_DIRECT"
    exit 77
fi
rm -f "$scratch/probe"
data=$scratch/data.bin
sim_runtimes="runtimes: GPU $sim/libqrv-runtime64.so.1.0.0, application $sim/libdgrt.so.1.0.0"

echo
echo "=== a machine without a GPU stack"
if grep -q 'libqrv-runtime64\.so\.1 ' <<< "$(ldconfig -p)"; then
    echo "(skipped: this machine's loader already finds a libqrv-runtime64.so.1)"
else
    run "$bench" demo --dir "$scratch" --size 4M
    expect_rc 0 "dgfile-bench demo without a GPU stack"
    expect_line "driver: simulated (no /dev/qrvd)" "dgfile-bench demo without a GPU stack"
    expect_line "$sim_runtimes" "dgfile-bench demo without a GPU stack"

    run "$doctor" --sim "$scratch"
    expect_rc 0 "dgfile-doctor --sim without a GPU stack"
    expect_text "[ ok ] /dev/qrvd: simulated by the driver stand-in (--sim)" "dgfile-doctor --sim"
    expect_line "[ ok ] GPU runtime libqrv-runtime64.so.1: $sim/libqrv-runtime64.so.1.0.0 (the simulated platform's)" \
        "dgfile-doctor --sim"

    # Without --sim they meet the machine, which has no runtime: the doctor
    # says where it looked, the bench how to simulate; neither dies of the
    # loader's error.
    looked="not found; the loader looked in its cache /etc/ld.so.cache and in /"
    hint="hint: to try the simulated GPU platform instead, run dgfile-doctor --sim (or set QRVD_SIM=1) and dgfile-bench demo"
    run "$doctor"
    expect_rc 1 "dgfile-doctor without a GPU runtime"
    expect_text "[FAIL] GPU runtime libqrv-runtime64.so.1: $looked" "dgfile-doctor without a GPU runtime"
    expect_text "[FAIL] application runtime libdgrt.so.1: $looked" "dgfile-doctor without a GPU runtime"
    expect_line "$hint" "dgfile-doctor without a GPU runtime"
    run "$doctor" --json
    expect_rc 1 "dgfile-doctor --json without a GPU runtime"
    expect_text '"id":"gpu_runtime","status":"fail"' "dgfile-doctor --json without a GPU runtime"
    expect_text '"found":false,"searched":["/' "dgfile-doctor --json without a GPU runtime"
    expect_text "\"hint\":\"${hint#hint: }\"" "dgfile-doctor --json without a GPU runtime"
    for no_runtime in "$bench read $scratch/none --sim off" "env QRVD_SIM=0 $bench demo" \
                      "$work/no-sim/$bindir/dgfile-bench demo"; do
        # shellcheck disable=SC2086 # the command's words
        run $no_runtime
        expect_rc 3 "$no_runtime without a GPU runtime"
        expect_text "dgfile-bench: error: cannot start: the loader does not find " "$no_runtime"
        expect_text "libqrv-runtime64.so.1 (the GPU runtime)" "$no_runtime"
        expect_text "libdgrt.so.1 (the application runtime)" "$no_runtime"
        expect_text "dgfile-bench: dgfile-doctor says where it looked; --sim on " "$no_runtime"
    done
    expect_text "--sim on would run on the simulated GPU platform, which is not installed (no libqrvd-sim.so in " \
        "dgfile-bench without the component sim"
    run env QRVD_SIM=0 "$bench" read --help
    expect_rc 0 "dgfile-bench read --help without a GPU runtime"
fi

echo
echo "=== a GPU machine: its runtimes in the loader's cache, a /dev/qrvd"
mkdir -p "$system_lib"
cp "$system_runtime" "$system_lib/libqrv-runtime64.so.1"
cp "$system_dgrt" "$system_lib/libdgrt.so.1"
printf 'include /etc/ld.so.conf\n%s\n' "$system_lib" > "$work/ld.so.conf"
ldconfig -X -f "$work/ld.so.conf" -C "$work/ld.so.cache"
mount --bind "$work/ld.so.cache" /etc/ld.so.cache
grep -qF "=> $system_lib/libqrv-runtime64.so.1" <<< "$(ldconfig -p)" ||
    fail "the loader's cache does not list $system_lib/libqrv-runtime64.so.1"
system_runtimes="runtimes: GPU $system_lib/libqrv-runtime64.so.1, application $system_lib/libdgrt.so.1"
add_device

run "$doctor" "$scratch"
expect_rc 0 "dgfile-doctor on the GPU machine"
expect_line "[FAIL] /dev/qrvd: character device 1:3, opens read-write but does not know the transfer request (ENOTTY): not the GPU kernel driver" \
    "dgfile-doctor on the GPU machine"
expect_line "[ ok ] GPU runtime libqrv-runtime64.so.1: $system_lib/libqrv-runtime64.so.1" \
    "dgfile-doctor on the GPU machine"
expect_line "[ ok ] application runtime libdgrt.so.1: $system_lib/libdgrt.so.1; the library finds its dgMemcpy" \
    "dgfile-doctor on the GPU machine"
expect_line "summary: CPU fallback only: /dev/qrvd does not know the transfer request" \
    "dgfile-doctor on the GPU machine"

run "$bench" read "$data" --create 4M --io-size 256K --verify
expect_rc 0 "dgfile-bench read on the GPU machine"
expect_text ", driver: /dev/qrvd (a real /dev/qrvd)" "dgfile-bench read on the GPU machine"
expect_line "$system_runtimes" "dgfile-bench read on the GPU machine"

run "$bench" read "$data" --io-size 256K --sim on --verify --json
expect_rc 0 "dgfile-bench read --sim on on the GPU machine"
expect_text '"simulated": true' "dgfile-bench read --sim on on the GPU machine"
expect_text "\"gpu_runtime\": \"$sim/libqrv-runtime64.so.1.0.0\"" "dgfile-bench read --sim on"
expect_text "\"app_runtime\": \"$sim/libdgrt.so.1.0.0\"" "dgfile-bench read --sim on"
expect_text '"direct": 16,' "dgfile-bench read --sim on (every transfer through the simulated driver)"

run "$doctor" --sim
expect_rc 0 "dgfile-doctor --sim on the GPU machine"
expect_line "[ ok ] /dev/qrvd: simulated by the driver stand-in (--sim); opens read-write and answers the transfer request (the real character device 1:3 is not used)" \
    "dgfile-doctor --sim on the GPU machine"
expect_line "[ ok ] GPU runtime libqrv-runtime64.so.1: $sim/libqrv-runtime64.so.1.0.0 (the simulated platform's)" \
    "dgfile-doctor --sim on the GPU machine"

run env QRVD_SIM=1 "$doctor"
expect_text "[ ok ] /dev/qrvd: simulated by the driver stand-in (QRVD_SIM=1)" "QRVD_SIM=1 dgfile-doctor"

echo
echo "=== the same machine without /dev/qrvd"
remove_device
run "$bench" demo --dir "$scratch" --size 4M
expect_rc 0 "dgfile-bench demo without /dev/qrvd"
expect_line "driver: simulated (no /dev/qrvd)" "dgfile-bench demo without /dev/qrvd"
expect_line "$sim_runtimes" "dgfile-bench demo without /dev/qrvd"

run "$doctor"
expect_line "[FAIL] /dev/qrvd: absent: no GPU kernel driver node" "dgfile-doctor without /dev/qrvd"
expect_line "[ ok ] GPU runtime libqrv-runtime64.so.1: $system_lib/libqrv-runtime64.so.1" \
    "dgfile-doctor without /dev/qrvd"

echo
echo "=== the tools installed without the simulated platform, on the GPU machine"
add_device
run "$work/no-sim/$bindir/dgfile-bench" read "$data" --sim on
expect_rc 3 "dgfile-bench --sim on without the component sim"
expect_text "dgfile-bench: error: --sim on: the simulated GPU platform is not installed (no libqrvd-sim.so in " \
    "dgfile-bench --sim on without the component sim"
run "$work/no-sim/$bindir/dgfile-doctor" --sim
expect_rc 0 "dgfile-doctor --sim without the component sim"  # the machine's CPU fallback works
expect_line "summary: CPU fallback only: /dev/qrvd is not simulated: the simulated platform is missing" \
    "dgfile-doctor --sim without the component sim"
expect_line "[FAIL] /dev/qrvd: the simulated platform was asked for (--sim) but its driver stand-in is not in this process: the simulated platform is not installed beside dgfile-doctor" \
    "dgfile-doctor --sim without the component sim"
expect_line "[ ok ] GPU runtime libqrv-runtime64.so.1: $system_lib/libqrv-runtime64.so.1" \
    "dgfile-doctor --sim without the component sim"

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "installed tools checks passed"
