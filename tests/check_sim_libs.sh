#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Dynamic-linking facts of the simulated platform and of how libdgfile meets it:
#  - libdgfile needs libqrv-runtime64.so.1, and never the application runtime
#    or the driver stand-in, nor the runtime's private calls;
#  - libqrv-runtime64 has that exact SONAME, exports qrv_vendor_pointer_info
#    under QRV_1 and everything else only under QRV_SIM_PRIVATE.
# Usage: check_sim_libs.sh libdgfile.so libqrv-runtime64.so.1
set -eu
dgfile=$1
runtime=$2
readelf=${READELF:-readelf}
fail() { echo "$*"; exit 1; }

needed=$($readelf -d "$dgfile" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
printf '%s\n' "$needed" | grep -qx 'libqrv-runtime64.so.1' ||
    fail "libdgfile does not need libqrv-runtime64.so.1 (needs: $(echo $needed))"
if printf '%s\n' "$needed" | grep -q -e dgrt -e qrvd; then
    fail "libdgfile needs a simulator library it must not name: $(echo $needed)"
fi
if $readelf --dyn-syms -W "$dgfile" | awk '{ print $8 }' | grep -q '^qrv_sim_'; then
    fail "libdgfile refers to the simulator's private calls"
fi

soname=$($readelf -d "$runtime" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "libqrv-runtime64.so.1" ] || fail "runtime SONAME is '$soname'"

exports=$($readelf --dyn-syms -W "$runtime" |
    awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && $7 != "ABS" && $5 != "LOCAL" { print $8 }')
printf '%s\n' "$exports" | grep -qx 'qrv_vendor_pointer_info@@QRV_1' ||
    fail "qrv_vendor_pointer_info@@QRV_1 not exported; exports: $(echo $exports)"
others=$(printf '%s\n' "$exports" | grep -v -x 'qrv_vendor_pointer_info@@QRV_1' |
    grep -v '^qrv_sim_[a-z_]*@@QRV_SIM_PRIVATE$' | grep -v -x -e QRV_1 -e QRV_SIM_PRIVATE || true)
[ -z "$others" ] || fail "runtime exports outside its two version nodes: $(echo $others)"
echo "sim libraries ok: libdgfile needs $soname only; runtime exports versioned"
