#!/usr/bin/env bash
# The deliverable 32-bit TaveloIAP.exe and TaveloIAP-zh.exe under i386 Wine against the gadget tablet,
# through Wine's own HID stack (winebus's udev bus on hidraw; systemd-udevd runs so that Wine can hear of
# the tablet's replugs). Runs in the guest after wine_tests.sh made the prefix; each case prints PASS or
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

# The program in DIR under Wine, against a gadget tablet started with GADGET_ARGS. Wine 8 presents one HID
# device per interface, with the usage of its first top-level collection: the vendor collection must have
# an interface of its own, as on the tablets, for the program to find it.
start_wine_case() {  # DIR EXE GADGET_ARGS...
  local dir="$1" exe="$2"; shift 2
  start_gadget "$dir/gadget.log" --image "$dir/image.bin" --pen-interface "$@" || return 1
  start_program "$dir" "$wine" "./$exe"
}
# Ends a case: the gadget off the bus, Wine's server (and winebus with it) gone, so that the next case's
# Wine lists the devices afresh.
end_wine_case() {
  stop_gadget
  /usr/lib/wine/wineserver -k 2>/dev/null
  if [ "$case_ok" -ne 1 ]; then
    sed 's/\r/\\r\n/g' "$1/out.bin" | iconv -f GBK -t UTF-8 -c | tail -20
    cat "$1/gadget.log" 2>/dev/null
    tail -20 "$1/err.txt"
  fi
}

# A whole upgrade of a tablet that starts in its boot loader: no restart before the transfer. The output up
# to the closing re-detection (the line end after the last progress line) is compared byte for byte; the
# tablet checks the image. With "planted", a hid.dll of one's own lies beside the program: it must not run.
boot_loader_upgrade() {  # EXE TRANSCRIPT [planted]
  local exe="$1" transcript="$2" dir="$work/boot-$1"
  program_dir "$dir" "$win32/bin/$exe" KT1 3000
  [ "${3:-}" = planted ] && cp "$win32/planted/hid.dll" "$dir/"
  start_wine_case "$dir" "$exe" --boot-loader || { case_ok=0; return; }
  local prompt; prompt="$(prompt_of "$exe" | iconv -f UTF-8 -t GBK)"
  wait_output "$dir" "$prompt" 1 120 || fail "no menu"
  answer 1
  wait_output "$dir" "100.00%" 1 240 || fail "the upgrade did not reach 100%"
  # What follows the tablet's return to its application depends on Wine (tests/vm/README.md).
  wait_output "$dir" "$prompt" 2 60
  answer 2
  end_program 30; local status=$?
  end_wine_case "$dir"
  awk '{ print } /100\.00%/ { getline; print; exit }' "$here/../windows/expected/$transcript" > "$dir/head.txt"
  expected_transcript "$dir/head.txt" "$dir/expected.bin" gbk
  head -c "$(stat -c %s "$dir/expected.bin")" "$dir/out.bin" > "$dir/out-head.bin"
  if ! cmp -s "$dir/out-head.bin" "$dir/expected.bin"; then
    fail "output up to the closing re-detection differs from $transcript (CR as \\r):"
    show_diff "$dir/expected.bin" "$dir/out-head.bin" | iconv -f GBK -t UTF-8 -c
  fi
  grep -q "installs 1," "$dir/gadget.log" || fail "the tablet did not install one image"
  grep -q "flash holds exactly" "$dir/gadget.log" || fail "the flash does not hold the image"
  echo "  after the closing re-detection and \"2\": exit status $status"
  if [ "${3:-}" = planted ]; then
    [ -e "$dir/planted-hid-dll-ran.txt" ] && fail "the hid.dll beside the program was loaded"
    [ -e "$dir/hid.dll" ] || fail "no planted hid.dll"
  fi
}
case_boot_loader_planted_hid_dll() { boot_loader_upgrade TaveloIAP.exe demo_upgrade_en.txt planted; }
case_boot_loader_zh() { boot_loader_upgrade TaveloIAP-zh.exe demo_upgrade_zh.txt; }

# Without the system's hid.dll (Wine told not to load it): one line, no banner, exit status 1, as a
# failed start-up ends.
case_no_system_hid_dll() {
  local dir="$work/no-hid"
  program_dir "$dir" "$win32/bin/TaveloIAP.exe" KT1 1024
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES;hid=d" start_program "$dir" "$wine" ./TaveloIAP.exe
  end_program 120; local status=$?
  end_wine_case "$dir"
  printf '[Tavelo IAP]: Error -> hid.dll（126）\r\n' | iconv -f UTF-8 -t GBK > "$dir/expected.bin"
  cmp -s "$dir/out.bin" "$dir/expected.bin" || { fail "output differs:"; show_diff "$dir/expected.bin" "$dir/out.bin"; }
  [ "$status" -eq 1 ] || fail "exit status $status"
}

# A whole upgrade from the application: the tablet restarts into its boot loader (a USB disconnect and a
# new device) before the transfer, which Wine 8's winebus does not follow (tests/vm/README.md). The case
# checks how far the program gets; TAVELO_WINE_WHOLE_UPGRADE=1 makes the whole upgrade a condition.
case_restart() {
  local dir="$work/upgrade"
  program_dir "$dir" "$win32/bin/TaveloIAP.exe" KT1 3000
  start_wine_case "$dir" TaveloIAP.exe || { case_ok=0; return; }
  local prompt connected
  prompt="$(prompt_of TaveloIAP.exe | iconv -f UTF-8 -t GBK)"
  connected="$(printf '%s' "【'Tavelo K1 Plus V2'】connected" | iconv -f UTF-8 -t GBK)"
  wait_output "$dir" "$connected" 1 180 && echo "  the program named the tablet" || fail "the tablet was not named"
  menu_upgrades "$dir" "$prompt" 1 240; local status=$?
  end_wine_case "$dir"
  # How far the program gets: its first commands reached the tablet, which went into its boot loader (a
  # USB disconnect and a new device).
  local frames
  frames="$(sed -n 's/^gadget: frames \([0-9]*\),.*/\1/p' "$dir/gadget.log")"
  [ "${frames:-0}" -ge 2 ] || fail "the tablet received ${frames:-0} frames, not the first two commands"
  grep -q "on the bus (boot loader)" "$dir/gadget.log" || fail "the tablet did not restart in its boot loader"
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
    local failure
    failure="$(printf '%s' "IAP应用流程 |-> 传输本文件错误" | iconv -f UTF-8 -t GBK)"
    grep -qaF "$failure" "$dir/out.bin" || fail "no failure line for the upgrade that did not reach the tablet"
    grep -qaF "[100.00%][Finish]" "$dir/out.bin" && fail "Finish shown for an image the tablet did not install"
    [ "$status" -eq 1 ] || fail "exit status $status after a failed upgrade, not 1"
  fi
  [ "$case_ok" -eq 1 ] || { [ -d /tmp/share ] && cp "$dir/err.txt" /tmp/share/wine-taveloiap-err.txt; }
}

if [ "${TAVELO_WINE_UDEVD:-1}" = 1 ]; then
  mkdir -p /run/udev
  /lib/systemd/systemd-udevd --daemon || echo "  systemd-udevd did not start"
fi
cases=(no_system_hid_dll boot_loader_planted_hid_dll boot_loader_zh restart)
[ ${#wanted[@]} -gt 0 ] && cases=("${wanted[@]}")
run_cases "" "${cases[@]}"
[ "${TAVELO_WINE_UDEVD:-1}" = 1 ] && udevadm control --exit 2>/dev/null
echo "TaveloIAP.exe under Wine: ${#cases[@]} cases, $failures failed"
[ "$failures" -eq 0 ]
