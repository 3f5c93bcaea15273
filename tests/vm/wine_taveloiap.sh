#!/usr/bin/env bash
# The deliverable 32-bit TaveloIAP.exe under i386 Wine against the gadget tablet, through Wine's own HID
# stack (winebus's udev bus on hidraw; systemd-udevd runs so that Wine hears of the tablet's replugs).
# A whole upgrade, standard output compared byte for byte with the GBK transcript. Runs in the guest
# after wine_tests.sh made the prefix. Usage: wine_taveloiap.sh SOURCE_DIR
set -uo pipefail
root="$1"
here="$root/tests/vm"
work=/tmp/wine-tav
rm -rf "$work" && mkdir -p "$work/bin"
cp "$root/build/release/tests/vm/gadget_tablet" "$root/build/release/src/cli/taveloiap-cipher" "$work/bin/"
# shellcheck source=guest_lib.sh
. "$here/guest_lib.sh"
case_ok=1
wine=/usr/lib/wine/wine

if [ "${TAVELO_WINE_UDEVD:-1}" = 1 ]; then
  mkdir -p /run/udev
  /lib/systemd/systemd-udevd --daemon || fail "systemd-udevd did not start"
fi
dir="$work/upgrade"
program_dir "$dir" "$root/build/win32/bin/TaveloIAP.exe" KT1 3000
# Wine 8 presents one HID device per interface, with the usage of its first top-level collection: the
# vendor collection must have an interface of its own, as on the tablets, for the program to find it.
start_gadget "$dir/gadget.log" --image "$dir/image.bin" --pen-interface || exit 1
export WINEDEBUG="${TAVELO_WINEDEBUG:--all}"
# Wine's USB driver (wineusb, libusb) would take the tablet's interface from usbhid, and with it the
# hidraw node winebus reads: the program reaches the tablet through winebus only.
export WINEDLLOVERRIDES="wineusb.sys=d"
start_program "$dir" "$wine" ./TaveloIAP.exe
prompt="$(prompt_of TaveloIAP.exe | iconv -f UTF-8 -t GBK)"
connected="$(printf '%s' "【'Tavelo K1 Plus V2'】connected" | iconv -f UTF-8 -t GBK)"
wait_output "$dir" "$connected" 1 180 && echo "  the program named the tablet" || fail "the tablet was not named"
menu_upgrades "$dir" "$prompt" 1 240; status=$?
stop_gadget
/usr/lib/wine/wineserver -k 2>/dev/null
[ "${TAVELO_WINE_UDEVD:-1}" = 1 ] && udevadm control --exit 2>/dev/null
cat "$dir/gadget.log"
# How far the program gets: its first commands reached the tablet, which went into its boot loader (a
# USB disconnect and a new device).
frames="$(sed -n 's/^gadget: frames \([0-9]*\),.*/\1/p' "$dir/gadget.log")"
[ "${frames:-0}" -ge 2 ] || fail "the tablet received ${frames:-0} frames, not the first two commands"
grep -q "on the bus (boot loader)" "$dir/gadget.log" || fail "the tablet did not restart in its boot loader"
# The whole upgrade needs Wine to follow that replug, which Wine 8 does not (tests/vm/README.md):
# checked when TAVELO_WINE_WHOLE_UPGRADE=1, reported otherwise.
expected_transcript "$root/tests/windows/expected/demo_upgrade_en.txt" "$dir/expected.bin" gbk
if cmp -s "$dir/out.bin" "$dir/expected.bin" && grep -q "installs 1," "$dir/gadget.log" &&
   grep -q "flash holds exactly" "$dir/gadget.log"; then
  echo "  whole upgrade through winebus: output byte for byte, the flash holds the image"
  [ "$status" -eq 0 ] || fail "exit status $status after a whole upgrade"
elif [ "${TAVELO_WINE_WHOLE_UPGRADE:-0}" = 1 ]; then
  fail "no whole upgrade through winebus:"; show_diff "$dir/expected.bin" "$dir/out.bin" | iconv -f GBK -t UTF-8 -c
else
  echo "  whole upgrade through winebus: no (Wine did not present the tablet after its restart)"
  # The upgrade that could not reach the tablet says so: the failure line, no Finish, exit status 1.
  failure="$(printf '%s' "IAP应用流程 |-> 传输本文件错误" | iconv -f UTF-8 -t GBK)"
  grep -qaF "$failure" "$dir/out.bin" || fail "no failure line for the upgrade that did not reach the tablet"
  grep -qaF "[100.00%][Finish]" "$dir/out.bin" && fail "Finish shown for an image the tablet did not install"
  [ "$status" -eq 1 ] || fail "exit status $status after a failed upgrade, not 1"
fi
if [ "$case_ok" -ne 1 ]; then
  sed 's/\r/\\r\n/g' "$dir/out.bin" | iconv -f GBK -t UTF-8 -c | tail -20
  [ -d /tmp/share ] && cp "$dir/err.txt" /tmp/share/wine-taveloiap-err.txt
  tail -20 "$dir/err.txt"
fi
[ "$case_ok" -eq 1 ]
