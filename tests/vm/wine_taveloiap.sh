#!/usr/bin/env bash
# The deliverable 32-bit TaveloIAP.exe and TaveloIAP-zh.exe under i386 Wine 10 against the gadget tablet,
# through Wine's own HID stack (winebus's udev bus on hidraw; systemd-udevd runs so that Wine hears of the
# tablet's restarts). Runs in the guest after wine_tests.sh made the prefix; each case prints PASS or
# FAIL. Usage: wine_taveloiap.sh SOURCE_DIR [CASE ...]
set -uo pipefail
root="$1"
shift
wanted=("$@")
here="$root/tests/vm"
win32="$root/build/win32"
work=/tmp/wine-tav
rm -rf "$work" && mkdir -p "$work/bin"
cp "$root/build/release/tests/vm/gadget_tablet" "$root/build/release/src/cli/taveloiap-cipher" "$work/bin/"
# shellcheck source=guest_lib.sh
. "$here/guest_lib.sh"
failures=0
wine=/usr/lib/wine/wine
export WINEDEBUG="${TAVELO_WINEDEBUG:--all}"
# Wine's USB driver (wineusb, libusb) would take the tablet's interface from usbhid, and with it the
# hidraw node winebus reads: the program reaches the tablet through winebus only.
export WINEDLLOVERRIDES="wineusb.sys=d"

# The program in DIR under Wine, against a gadget tablet started with GADGET_ARGS. Wine presents one HID
# device per interface, with the usage of its first top-level collection, and Wine 10 ignores hidraw
# devices of the digitizer page: the vendor collection must have an interface of its own, as on the
# tablets, for the program to find it.
start_wine_case() {  # DIR EXE GADGET_ARGS...
  local dir="$1" exe="$2"; shift 2
  start_gadget "$dir/gadget.log" --image "$dir/image.bin" --pen-interface "$@" || return 1
  start_program "$dir" "$wine" "./$exe"
}
# Ends a case: the gadget off the bus (its summary written), Wine's server (and winebus with it) gone, so
# that the next case's Wine lists the devices afresh.
stop_wine_case() {
  stop_gadget
  /usr/lib/wine/wineserver -k 2>/dev/null
}
# What a failed case leaves: the program's last lines, the tablet's log, Wine's standard error.
show_wine_case() {  # DIR
  [ "$case_ok" -eq 1 ] && return
  sed 's/\r/\\r\n/g' "$1/out.bin" | iconv -f GBK -t UTF-8 -c | tail -20
  cat "$1/gadget.log" 2>/dev/null
  tail -20 "$1/err.txt"
  [ -d /tmp/share ] && cp "$1/err.txt" "/tmp/share/wine-${1##*/}-err.txt"
}

# A whole upgrade through winebus: menu "1" then "2", the output compared byte for byte with TRANSCRIPT
# (GBK), the image installed and the flash holding it, exit status 0. A tablet that starts in its
# application restarts into its boot loader after IapSetState (a USB disconnect, then a new device), and
# the program must find it again; after the last package it comes back in its application (the closing
# re-detection). With "planted", a hid.dll of one's own lies beside the program: it must not run.
wine_upgrade() {  # NAME EXE TRANSCRIPT planted|- GADGET_ARGS...
  local name="$1" exe="$2" transcript="$3" planted="$4"; shift 4
  local dir="$work/$name"
  program_dir "$dir" "$win32/bin/$exe" KT1 3000
  [ "$planted" = planted ] && cp "$win32/planted/hid.dll" "$dir/"
  start_wine_case "$dir" "$exe" "$@" || { case_ok=0; return; }
  local prompt status
  prompt="$(prompt_of "$exe" | iconv -f UTF-8 -t GBK)"
  # Wine's start under emulation takes up to a minute or two.
  wait_output "$dir" "$prompt" 1 180
  menu_upgrades "$dir" "$prompt" 1 300; status=$?
  stop_wine_case
  [ "$status" -eq 0 ] || fail "exit status $status"
  expected_transcript "$root/tests/windows/expected/$transcript" "$dir/expected.bin" gbk
  if ! cmp -s "$dir/out.bin" "$dir/expected.bin"; then
    fail "output differs from $transcript (CR as \\r):"
    show_diff "$dir/expected.bin" "$dir/out.bin" | iconv -f GBK -t UTF-8 -c
  fi
  grep -q "installs 1," "$dir/gadget.log" || fail "the tablet did not install one image"
  grep -q "flash holds exactly" "$dir/gadget.log" || fail "the flash does not hold the image"
  if [ "$planted" = planted ]; then
    [ -e "$dir/planted-hid-dll-ran.txt" ] && fail "the hid.dll beside the program was loaded"
    [ -e "$dir/hid.dll" ] || fail "no planted hid.dll"
  fi
  show_wine_case "$dir"
}

# Without the system's hid.dll (Wine told not to load it): one line, no banner, exit status 1, as a
# failed start-up ends.
case_no_system_hid_dll() {
  local dir="$work/no-hid"
  program_dir "$dir" "$win32/bin/TaveloIAP.exe" KT1 1024
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES;hid=d" start_program "$dir" "$wine" ./TaveloIAP.exe
  end_program 120; local status=$?
  stop_wine_case
  printf '[Tavelo IAP]: Error -> hid.dll（126）\r\n' | iconv -f UTF-8 -t GBK > "$dir/expected.bin"
  cmp -s "$dir/out.bin" "$dir/expected.bin" || { fail "output differs:"; show_diff "$dir/expected.bin" "$dir/out.bin"; }
  [ "$status" -eq 1 ] || fail "exit status $status"
  show_wine_case "$dir"
}
# The tablet starts in its boot loader (no restart before the transfer) with a planted hid.dll beside.
case_boot_loader_planted_hid_dll() {
  wine_upgrade boot-planted TaveloIAP.exe demo_upgrade_en.txt planted --boot-loader
}
# From the application: IapGetState 1, IapSetState, the restart into the boot loader (back after 300 ms).
case_restart() { wine_upgrade restart TaveloIAP.exe demo_upgrade_en.txt -; }
# The same from the Chinese build, the tablet back at once and then after a long pause: Wine's removal of
# the old device races with the new one's arrival.
case_restart_zh_at_once_and_late() {
  wine_upgrade restart-zh-0ms TaveloIAP-zh.exe demo_upgrade_zh.txt - --reboot-ms 0
  wine_upgrade restart-zh-6000ms TaveloIAP-zh.exe demo_upgrade_zh.txt - --reboot-ms 6000
}

if [ "${TAVELO_WINE_UDEVD:-1}" = 1 ]; then
  mkdir -p /run/udev
  /lib/systemd/systemd-udevd --daemon || echo "  systemd-udevd did not start"
fi
cases=(no_system_hid_dll boot_loader_planted_hid_dll restart restart_zh_at_once_and_late)
[ ${#wanted[@]} -gt 0 ] && cases=("${wanted[@]}")
run_cases "" "${cases[@]}"
[ "${TAVELO_WINE_UDEVD:-1}" = 1 ] && udevadm control --exit 2>/dev/null
echo "TaveloIAP.exe under Wine: ${#cases[@]} cases, $failures failed"
[ "$failures" -eq 0 ]
