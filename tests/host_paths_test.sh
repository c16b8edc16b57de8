#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs test programs in a private mount namespace in which /opt/tavo/etc
# already exists, with a settings file, as on a machine where libdgfile is
# installed and configured, and checks that they leave /opt exactly as they
# found it: the sandbox must keep every fixed path the tests use private
# there too.  The settings file turns the debug log on with a log directory
# under /opt/tavo, so a process that read it would leave a trace as well.
# /opt is a shared mount, so a sandbox mount that leaked would show there.
# With --chroot they run as root and as user 65534 in a chroot (the system,
# /opt and the build tree bound on a plain directory of a shared mount),
# where "/" is no mount point and the kernel gives no user namespace.
#
#   host_paths_test.sh [--emulator "COMMAND..." | --chroot BUILD_DIR] PROGRAM...
#                                   (as root; exit status 77: skipped)
# The emulator (a cross build's) starts each program.
set -euo pipefail

if [[ ${1:-} != --inside ]]; then
    if ((EUID != 0)); then
        echo "skipped: needs root, to mount a private /opt and to run each" \
             "program's root and developer cases as on a real machine"
        exit 77
    fi
    if [[ ! -d /opt ]] || ! unshare --mount --propagation unchanged true; then
        echo "skipped: needs /opt, unshare (util-linux) and CAP_SYS_ADMIN"
        exit 77
    fi
    # In a chroot, made private from the namespace's root, where nsenter goes.
    exec unshare --mount --propagation unchanged bash -c \
        'nsenter --mount=/proc/self/ns/mnt mount --make-rprivate / && exec bash "$@"' \
        bash "$0" --inside "$@"
fi
shift
emulator=() users=(0) root=
if [[ ${1:-} == --emulator ]]; then
    read -ra emulator <<< "$2"
    shift 2
fi

mount -t tmpfs -o mode=0755 tmpfs /opt
mount --make-shared /opt
mkdir -p /opt/tavo/etc
printf '[global]\nlog_level = DEBUG\nlog_dir = /opt/tavo/log\n' > /opt/tavo/etc/dgfile.ini

if [[ ${1:-} == --chroot ]]; then
    top=$(mktemp -d) users=(0 65534)
    root=$top/root
    trap 'umount -R "$top"; rmdir "$top"' EXIT
    mount -t tmpfs -o mode=0755 tmpfs "$top"
    mount --make-shared "$top"
    for dir in /bin /sbin /lib /lib32 /lib64 /libx32 /usr /etc /dev /tmp /var/tmp /opt "$2" /proc; do
        if [[ -L $dir ]]; then mkdir -p "$root" && cp -P "$dir" "$root$dir"
        elif [[ -d $dir ]]; then mkdir -p "$root$dir" && mount --rbind "$dir" "$root$dir"; fi
    done
    shift 2
fi

# Every entry of /opt with its type, mode, size and modification time.
snapshot() { find /opt -printf '%p %y %m %s %T@\n' | sort; }
table() { sed 's/ - .*//; s/^[0-9]* [0-9]* //' /proc/self/mountinfo | sort; }

before=$(snapshot) mounts=$(table)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
for program in "$@"; do
  for user in "${users[@]}"; do
    name="$(basename "$program")${root:+ in the chroot as user $user}"
    run=("${emulator[@]}")
    [[ -z $root ]] || run=(chroot --userspec="$user:$user" "$root")
    echo "== $name"
    ((user == 0)) || "${run[@]}" test -x "$program" || { echo "not run: no access"; continue; }
    out=$("${run[@]}" "$program" --gtest_brief=1 2>&1) || fail "$name failed:"$'\n'"$out"
    why=$(grep -A1 ': Skipped$' <<< "$out" | grep -v -e ': Skipped$' -e '^--$' || true)
    [[ -z $why ]] || sort <<< "$why" | uniq -c
    grep '^no sandbox' <<< "$why" | grep -vq 'in a chroot.*run the suite outside the chroot' &&
        fail "$name: the sandbox skipped a case for another reason than the chroot"
    ((user != 0)) || grep '^\[  PASSED  \] [1-9]' <<< "$out" || fail "$name passed no case"
    after=$(snapshot)
    if [[ $after != "$before" ]]; then
        echo "FAIL: $name changed /opt (< before, > after):"
        diff <(echo "$before") <(echo "$after") || true
        failures=$((failures + 1))
        before=$after
    fi
  done
done
[[ $(table) == "$mounts" ]] || fail "the programs changed the mount table"
if ((failures)); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "host_paths: $# programs ran${root:+ in a chroot}; /opt and the mount table are as they were"
