#!/usr/bin/env bash
# The unmodified release TaveloIAP and TaveloIAP-zh against the gadget tablet through the guest kernel's
# real USB HID stack (dummy_hcd, usbhid, hidraw). Runs inside the test guest as root, all cases in one
# boot; each case prints "PASS name" or "FAIL name" with what went wrong. Exit status 0 when all passed.
# Usage (in the guest): real_stack_tests.sh BUILD_DIR [CASE ...]   (BUILD_DIR: the release build)
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$1"
shift
wanted=("$@")
work=/tmp/rst
rm -rf "$work"
mkdir -p "$work/bin"
# Programs are copied to the guest's own memory: pages mapped from the 9p share can come up as zeros.
cp "$build/src/app/TaveloIAP" "$build/src/app/TaveloIAP-zh" "$build/tests/vm/gadget_tablet" \
  "$build/src/cli/taveloiap-cipher" "$work/bin/"
chmod 755 "$work" "$work/bin"
failures=0
trap '' PIPE  # an answer to a program that already ended fails the case, not the script
figures="$work/figures.txt"
: > "$figures"

# Model names and product IDs of the supported tablets (the README's table).
models=("7b01:Tavelo K1 Plus V2:KT1" "7b02:Tavelo K2 V2:KT2" "7b21:Tavelo Wren M:QX21" "7b22:Tavelo Wren S:QX22"
        "7b23:Tavelo Fjord 12 Pro:QX23" "7b31:Tavelo Sable M:QX31" "7b32:Tavelo Sable S:QX32")

# shellcheck source=guest_lib.sh
. "$here/guest_lib.sh"

# A whole upgrade, menu "1" then "2", output compared byte for byte.
whole_upgrade() {  # NAME PROGRAM TRANSCRIPT GADGET_ARGS...
  local name="$1" exe="$2" transcript="$3"; shift 3
  local dir="$work/$name"
  program_dir "$dir" "$work/bin/$exe" KT1 3000
  start_gadget "$dir/gadget.log" --image "$dir/image.bin" "$@" || { case_ok=0; return; }
  nodes_at_start="$(ls /sys/class/hidraw | wc -l)"
  start_program "$dir" ./"$exe"
  menu_upgrades "$dir" "$(prompt_of "$exe")" 1; local status=$?
  stop_gadget
  [ "$status" -eq 0 ] || fail "exit status $status"
  expected_transcript "$here/../windows/expected/$transcript" "$dir/expected.bin"
  if ! cmp -s "$dir/out.bin" "$dir/expected.bin"; then
    fail "output differs from $transcript (CR as \\r):"
    show_diff "$dir/expected.bin" "$dir/out.bin"
  fi
  grep -q "installs 1," "$dir/gadget.log" || fail "the tablet did not install one image"
  grep -q "flash holds exactly" "$dir/gadget.log" || fail "the flash does not hold the image"
  [ "$case_ok" -eq 1 ] || cat "$dir/gadget.log"
}

# ---- Cases ------------------------------------------------------------------------------------------------

# Whole upgrade from the application, a keyboard (a foreign HID device, an interface of its own) beside.
case_upgrade_app_keyboard() {
  whole_upgrade upgrade_app TaveloIAP demo_upgrade_en.txt --keyboard
  [ "$nodes_at_start" -eq 2 ] || fail "$nodes_at_start hidraw nodes, not the tablet's and the keyboard's"
}
case_upgrade_boot_loader() { whole_upgrade upgrade_boot TaveloIAP demo_upgrade_en.txt --boot-loader; }
case_upgrade_zh() { whole_upgrade upgrade_zh TaveloIAP-zh demo_upgrade_zh.txt; }

# Full speed: dummy_hcd reloaded with is_high_speed=0, the tablet enumerated at 12 Mbit/s, a whole upgrade.
case_full_speed() {
  rmmod dummy_hcd || { fail "cannot unload dummy_hcd"; return; }
  insmod /tmp/vm-modules/dummy_hcd.ko is_high_speed=0 || { fail "cannot load dummy_hcd at full speed"; return; }
  local dir="$work/full_speed_probe"; mkdir -p "$dir"
  start_gadget "$dir/gadget.log" || { case_ok=0; return; }
  local speed; speed="$(cat /sys/bus/usb/devices/1-1/speed 2>/dev/null)"
  stop_gadget
  [ "$speed" = 12 ] || fail "the tablet runs at '$speed' Mbit/s, not 12"
  whole_upgrade upgrade_full_speed TaveloIAP demo_upgrade_en.txt
  rmmod dummy_hcd && insmod /tmp/vm-modules/dummy_hcd.ko || fail "cannot reload dummy_hcd at high speed"
}

# Every supported product ID enumerates and the program names the model.
case_models() {
  local m pid name code dir
  for m in "${models[@]}"; do
    IFS=: read -r pid name code <<< "$m"
    dir="$work/model_$pid"
    program_dir "$dir" "$work/bin/TaveloIAP" "$code" 1024
    start_gadget "$dir/gadget.log" --model "$(model_index "$pid")" || { case_ok=0; continue; }
    local node; node="$(hidraw_of_tablet)"
    grep -qi "^HID_ID=0003:00000483:0000${pid}$" "/sys/class/hidraw/${node#/dev/}/device/uevent" ||
      fail "$pid: the hidraw node has $(grep HID_ID "/sys/class/hidraw/${node#/dev/}/device/uevent")"
    start_program "$dir" ./TaveloIAP
    wait_output "$dir" "【'$name'】connected" 1 30 || fail "$pid: '$name' not named"
    wait_output "$dir" "Please choose：" 1 || fail "$pid: no menu"
    answer 2
    end_program || fail "$pid: exit status $?"
    stop_gadget
  done
}
model_index() {
  local i
  for i in "${!models[@]}"; do
    [ "${models[$i]%%:*}" = "$1" ] && { echo "$i"; return; }
  done
}

# A fault on frame K of the first upgrade (the tablet dropping off the bus mid-transfer, an error status;
# every reply late, in order; an IapStart answered after the reply time limit by a tablet that answers in
# order, which ends that upgrade before any package), then a clean upgrade in the same run: the flash
# holds the image. A row is "KNOB[ KNOB...]:FINISHED_UPGRADES".
case_faults() {
  local row knob finishes dir
  local -a knobs
  for row in "leave=1500@5:1" "status=8@5:1" "reply-delay=200:2" "slow=10400@3 in-order:1"; do
    knob="${row%:*}"; finishes="${row##*:}"
    read -ra knobs <<< "$knob"
    dir="$work/fault_${knob//[^a-z0-9]/_}"
    program_dir "$dir" "$work/bin/TaveloIAP" KT1 3000
    start_gadget "$dir/gadget.log" --image "$dir/image.bin" "${knobs[@]/#/--}" || { case_ok=0; continue; }
    start_program "$dir" ./TaveloIAP
    menu_upgrades "$dir" "Please choose：" 2 || fail "$knob: exit status $?"
    stop_gadget
    [ "$(grep -aoF '[100.00%][Finish]' "$dir/out.bin" | wc -l)" -eq "$finishes" ] ||
      fail "$knob: expected $finishes finished upgrade(s)"
    grep -q "flash holds exactly" "$dir/gadget.log" || fail "$knob: the flash does not hold the image"
    [ "$case_ok" -eq 1 ] || { sed 's/\r/\\r\n/g' "$dir/out.bin" | tail -25; cat "$dir/gadget.log"; }
  done
}

# "2" while the reader thread is blocked in a hidraw read: the time from the answer to the exit, and the
# program's CPU per package of an upgrade of 64 packages over real hidraw (figures, printed).
case_exit_and_cpu() {
  local dir="$work/figures"
  program_dir "$dir" "$work/bin/TaveloIAP" KT1 65536
  start_gadget "$dir/gadget.log" --image "$dir/image.bin" || { case_ok=0; return; }
  start_program "$dir" ./TaveloIAP
  wait_output "$dir" "Please choose：" 1 || fail "no menu"
  local tick; tick="$(getconf CLK_TCK)"
  local cpu0; cpu0="$(awk '{print $14 + $15}' "/proc/$prog_pid/stat")"
  answer 1
  wait_output "$dir" "Please choose：" 2 300 || fail "the upgrade did not come back to the menu"
  local cpu1; cpu1="$(awk '{print $14 + $15}' "/proc/$prog_pid/stat")"
  sleep 1  # the reader thread is back in its blocking read
  # The guard kills a program that hangs; the shell's clock needs no process of its own.
  ( sleep 5; kill -KILL "$prog_pid" 2>/dev/null ) &
  local guard=$! t0 t1 status
  t0="$EPOCHREALTIME"
  answer 2
  wait "$prog_pid"; status=$?
  t1="$EPOCHREALTIME"
  kill "$guard" 2>/dev/null; wait "$guard" 2>/dev/null
  exec 7>&-
  [ "$status" -eq 0 ] || fail "exit status $status (killed after 5 s: 137)"
  stop_gadget
  grep -q "flash holds exactly" "$dir/gadget.log" || fail "the flash does not hold the image"
  local ms=$(( (${t1/./} - ${t0/./}) / 1000 ))
  local per=$(( (cpu1 - cpu0) * 1000000 / tick / 64 ))
  echo "  exit latency after \"2\": $ms ms"
  echo "  CPU per package (64 packages, user+system): $per us"
  { echo "exit_latency_ms $ms"; echo "cpu_per_package_us $per"; } >> "$figures"
}

# Without access to the node: the permission line. With systemd-udevd and the project's rule (plus a
# group for users without a seat, as the README says): the node is tagged and opened, the upgrade works.
case_permissions() {
  local dir="$work/permissions"
  program_dir "$dir" "$work/bin/TaveloIAP" KT1 3000
  start_gadget "$dir/gadget.log" --image "$dir/image.bin" || { case_ok=0; return; }
  local node; node="$(hidraw_of_tablet)"
  start_program "$dir" --user nobody ./TaveloIAP
  wait_output "$dir" "Permission denied: cannot open $node. Install the udev rule 70-taveloiap.rules" 1 30 ||
    { fail "no permission line for $node"; cat "$dir/err.txt"; sed 's/\r/\\r\n/g' "$dir/out.bin" | tail; }
  # It goes on looking for a tablet it may open (the menu comes only after one): ended from outside.
  kill -TERM "$prog_pid" 2>/dev/null
  end_program 10
  stop_gadget

  mkdir -p /run/udev/rules.d
  cp "$here/../../dist/linux/70-taveloiap.rules" /run/udev/rules.d/
  sed 's/TAG+="uaccess"/MODE="0660", GROUP="plugdev"/' "$here/../../dist/linux/70-taveloiap.rules" \
    > /run/udev/rules.d/71-taveloiap-plugdev.rules
  /lib/systemd/systemd-udevd --daemon || { fail "systemd-udevd did not start"; return; }
  start_gadget "$dir/gadget.log" --image "$dir/image.bin" || { case_ok=0; return; }
  node="$(hidraw_of_tablet)"
  udevadm settle -t 10 2>/dev/null || sleep 2
  local info; info="$(udevadm info "$node")"
  echo "$info" | grep -q "uaccess" || fail "the rule's uaccess tag is not on $node: $info"
  [ "$(stat -c '%a %G' "$node")" = "660 plugdev" ] || fail "$node is $(stat -c '%a %G' "$node")"
  echo "  $node: $(stat -c '%a %U:%G' "$node"), $(echo "$info" | grep -o 'TAGS=.*' | head -n1)"
  start_program "$dir" --user nobody:plugdev ./TaveloIAP
  menu_upgrades "$dir" "Please choose：" 1 || fail "exit status $? with access"
  stop_gadget
  grep -aqF '[100.00%][Finish]' "$dir/out.bin" || fail "the upgrade as nobody did not finish"
  grep -q "flash holds exactly" "$dir/gadget.log" || fail "the flash does not hold the image"
  udevadm control --exit 2>/dev/null
  rm -f /run/udev/rules.d/*taveloiap*
}

cases=(upgrade_app_keyboard upgrade_boot_loader upgrade_zh models faults exit_and_cpu full_speed permissions)
[ ${#wanted[@]} -gt 0 ] && cases=("${wanted[@]}")
run_cases stop_gadget "${cases[@]}"
[ -d /tmp/share ] && cp "$figures" /tmp/share/figures.txt 2>/dev/null
echo "real-stack tests: ${#cases[@]} cases, $failures failed"
[ "$failures" -eq 0 ]
