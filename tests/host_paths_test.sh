#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs test programs in a private mount namespace in which /opt/tavo/etc
# already exists, with a settings file, as on a machine where libdgfile is
# installed and configured, and checks that they leave /opt exactly as they
# found it: the sandbox must keep every fixed path the tests use private
# there too.  The settings file turns the debug log on with a log directory
# under /opt/tavo, so a process that read it would leave a trace as well.
#
#   host_paths_test.sh [--emulator "COMMAND..."] PROGRAM...
#                                   (as root; exit status 77: skipped)
# The emulator (a cross build's) starts each program.
set -euo pipefail

if [[ ${1:-} != --inside ]]; then
    if ((EUID != 0)); then
        echo "host_paths: skipped: needs root, to mount a private /opt and to run each" \
             "program's root and developer cases as on a real machine"
        exit 77
    fi
    if [[ ! -d /opt ]] || ! command -v unshare > /dev/null; then
        echo "host_paths: skipped: needs /opt and unshare (util-linux)"
        exit 77
    fi
    exec unshare --mount --propagation private bash "$0" --inside "$@"
fi
shift
emulator=()
if [[ ${1:-} == --emulator ]]; then
    read -ra emulator <<< "$2"
    shift 2
fi

mount -t tmpfs -o mode=0755 tmpfs /opt
mkdir -p /opt/tavo/etc
printf '[global]\nlog_level = DEBUG\nlog_dir = /opt/tavo/log\n' > /opt/tavo/etc/dgfile.ini

# Every entry of /opt with its type, mode, size and modification time.
snapshot() { find /opt -printf '%p %y %m %s %T@\n' | sort; }

before=$(snapshot)
failures=0
for program in "$@"; do
    name=$(basename "$program")
    echo "== $name"
    if ! "${emulator[@]}" "$program" --gtest_brief=1; then
        echo "FAIL: $name failed with /opt/tavo/etc present"
        failures=$((failures + 1))
    fi
    after=$(snapshot)
    if [[ $after != "$before" ]]; then
        echo "FAIL: $name changed /opt (< before, > after):"
        diff <(echo "$before") <(echo "$after") || true
        failures=$((failures + 1))
        before=$after
    fi
done
if ((failures)); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "host_paths: $# programs ran; /opt was left as it was"
