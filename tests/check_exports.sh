#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The shared library's dynamic interface: its SONAME and exactly the 18 entry
# points as defined, unversioned, global functions.
set -eu
lib=$1
readelf=${READELF:-readelf}

soname=$($readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
if [ "$soname" != "libdgfile.so.1" ]; then
    echo "SONAME is '$soname', expected libdgfile.so.1"; exit 1
fi

expected="dgFileBatchIOCancel
dgFileBatchIODestroy
dgFileBatchIOGetStatus
dgFileBatchIOSetUp
dgFileBatchIOSubmit
dgFileBufDeregister
dgFileBufRegister
dgFileDriverClose
dgFileDriverGetProperties
dgFileDriverOpen
dgFileDriverSetMaxCacheSize
dgFileDriverSetMaxDirectIOSize
dgFileDriverSetMaxPinnedMemSize
dgFileDriverSetPollMode
dgFileHandleDeregister
dgFileHandleRegister
dgFileRead
dgFileWrite"

# Defined (section index not UND), non-local dynamic symbols.
actual=$($readelf --dyn-syms -W "$lib" |
    awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && $5 != "LOCAL" { print $4 " " $8 }' |
    sort -k2)
names=$(printf '%s\n' "$actual" | awk '{ print $2 }')
if [ "$names" != "$expected" ]; then
    echo "exported symbols differ from the 18 entry points:"
    printf '%s\n' "$expected" > /tmp/dgfile-exports-expected.$$
    printf '%s\n' "$names" | diff /tmp/dgfile-exports-expected.$$ - || true
    rm -f /tmp/dgfile-exports-expected.$$
    exit 1
fi
if printf '%s\n' "$actual" | awk '$1 != "FUNC" { bad = 1 } END { exit !bad }'; then
    echo "an exported entry point is not a function:"; printf '%s\n' "$actual"; exit 1
fi
if printf '%s\n' "$names" | grep -q '@'; then
    echo "entry points must be unversioned"; exit 1
fi
# The runtime copy call is bound to whatever runtime the application loaded:
# a weak reference, so that a process without one is not stopped at load.
copy=$($readelf --dyn-syms -W "$lib" | awk '$8 == "dgMemcpy" { print $5 " " $7 }')
if [ "$copy" != "WEAK UND" ]; then
    echo "dgMemcpy must be a weak undefined reference, found: '$copy'"; exit 1
fi
echo "exports ok: 18 entry points, SONAME $soname, dgMemcpy weak"
