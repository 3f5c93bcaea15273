#!/usr/bin/env bash
# Makes the guest's 32-bit Wine prefix in $WINEPREFIX (in the guest, as root): wineboot, then winebus's
# SDL bus off, without which it never starts its udev bus (the hidraw devices). The host caches the prefix
# keyed on this file and the Wine root (tests/vm/run-tests.sh). Exit status 0 only for a whole prefix.
set -uo pipefail
wine=/usr/lib/wine/wine
rm -rf "$WINEPREFIX"
"$wine" wineboot -i > /dev/null 2>&1 || exit 1
"$wine" reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v 'Enable SDL' /t REG_DWORD /d 0 /f \
  > /dev/null 2>&1 || exit 1
/usr/lib/wine/wineserver -w
grep -q '"Enable SDL"=dword:00000000' "$WINEPREFIX/system.reg"
