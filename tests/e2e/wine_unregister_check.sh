#!/usr/bin/env bash
# Removes the registrations of the product and the test cameras with
# `regsvr32 /u /s` under Wine, then checks through the host's --list that the
# device enumerator no longer lists "Vanto 3D Virtual Camera2".
# Both are registered again first: tests that ran since the fixture registered
# them share the prefix and may have removed the product's registration (the
# server tests unregister it in their own process), and unregistering what is
# not registered fails.
#
#   wine_unregister_check.sh "<runner>;<prefix>" <product.dll> <testcams.dll> <duoview2-host.exe>
set -euo pipefail
IFS=';' read -r -a runner <<<"$1"
product=$2
testcams=$3
host=$4

status=0
"${runner[@]}" regsvr32 /s "$product" || { echo "regsvr32 $product failed" >&2; status=1; }
"${runner[@]}" regsvr32 /s "$testcams" || { echo "regsvr32 $testcams failed" >&2; status=1; }
"${runner[@]}" regsvr32 /u /s "$product" || { echo "regsvr32 /u $product failed" >&2; status=1; }
"${runner[@]}" regsvr32 /u /s "$testcams" || { echo "regsvr32 /u $testcams failed" >&2; status=1; }
listing=$("${runner[@]}" "$host" --list 2>&1 | tr -d '\r')
echo "$listing"
if grep -Eq '^ +[0-9]+: Vanto 3D Virtual Camera2$' <<<"$listing"; then
    echo "the device enumerator still lists the virtual camera" >&2
    status=1
fi
if grep -Eq '^ +[0-9]+: Duoview Test Camera A$' <<<"$listing"; then
    echo "the device enumerator still lists the test cameras" >&2
    status=1
fi
grep -q '^video input devices' <<<"$listing" || { echo "the host did not list" >&2; status=1; }
exit $status
