# Helpers of the guest test scripts (sourced): the gadget tablet, a program driven through its menu, the
# expected transcripts. Callers set $work (a directory in the guest's memory holding bin/) and case_ok.

fail() { echo "  $*"; case_ok=0; }

# A program directory: the program, the model's firmware file of an image of BYTES bytes cycling through
# all byte values, so that a text-mode read or write anywhere would show (kept as image.bin).
program_dir() {  # DIR PROGRAM_FILE MODEL_CODE BYTES
  local dir="$1"
  rm -rf "$dir"; mkdir -p "$dir"; chmod 755 "$dir"
  cp "$2" "$dir/"
  perl -e 'print substr(join("", map { chr } 0 .. 255) x ($ARGV[0] / 256 + 1), 0, $ARGV[0])' "$4" \
    > "$dir/image.bin"
  "$work/bin/taveloiap-cipher" encode "$dir/image.bin" "$dir/Tavelo-$3-Cipher.bin" > /dev/null
  chmod 644 "$dir"/*.bin
}

gadget_pid=""
start_gadget() {  # LOG ARGS...
  local log="$1"; shift
  "$work/bin/gadget_tablet" "$@" > "$log" 2>&1 &
  gadget_pid=$!
  local end=$(( SECONDS + 30 ))
  while [ "$SECONDS" -lt "$end" ]; do
    grep -q "on the bus" "$log" 2>/dev/null && hidraw_of_tablet >/dev/null && return 0
    sleep 0.1
  done
  echo "  the gadget tablet did not come up:"; cat "$log"
  return 1
}
stop_gadget() {
  [ -n "$gadget_pid" ] || return 0
  kill -TERM "$gadget_pid" 2>/dev/null
  wait "$gadget_pid" 2>/dev/null
  gadget_pid=""
}
# The tablet's hidraw node (VID 0483), on standard output.
hidraw_of_tablet() {
  local d
  for d in /sys/class/hidraw/hidraw*; do
    [ -e "$d" ] || continue
    grep -q '^HID_ID=0003:00000483:' "$d/device/uevent" 2>/dev/null && { echo "/dev/${d##*/}"; return 0; }
  done
  return 1
}

# The program runs in DIR with its standard input on a FIFO that answer() writes into, its output in
# DIR/out.bin. With --user U[:GROUPS] it runs as that user, in those supplementary groups only.
prog_pid=""
start_program() {  # DIR [--user U[:GROUPS]] COMMAND...
  local dir="$1"; shift
  local as=()
  if [ "$1" = --user ]; then
    local user="${2%%:*}" groups="${2#*:}"
    as=(setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups)
    [ "$groups" != "$2" ] && as=(setpriv --reuid="$user" --regid="$(id -g "$user")" --groups="$groups")
    shift 2
  fi
  rm -f "$dir/in" && mkfifo "$dir/in" && chmod 666 "$dir/in"
  (cd "$dir" && exec "${as[@]}" "$@" < in > out.bin 2> err.txt) &
  prog_pid=$!
  exec 7> "$dir/in"
}
answer() { printf '%s\n' "$1" >&7 2>/dev/null; }
# Waits until the output holds TEXT at least N times (default 1); false after S seconds (default 60).
wait_output() {  # DIR TEXT [N] [S]
  local n="${3:-1}" end=$(( SECONDS + ${4:-60} ))
  while [ "$SECONDS" -lt "$end" ]; do
    [ "$(grep -aoF -- "$2" "$1/out.bin" 2>/dev/null | wc -l)" -ge "$n" ] && return 0
    kill -0 "$prog_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ "$(grep -aoF -- "$2" "$1/out.bin" 2>/dev/null | wc -l)" -ge "$n" ]
}
# Closes the program's input and waits for its exit; its exit status (124 after S seconds, then killed).
end_program() {  # [S]
  exec 7>&-
  local end=$(( SECONDS + ${1:-30} ))
  while [ "$SECONDS" -lt "$end" ]; do
    kill -0 "$prog_pid" 2>/dev/null || { wait "$prog_pid"; return $?; }
    sleep 0.05
  done
  kill -KILL "$prog_pid"; wait "$prog_pid" 2>/dev/null
  return 124
}
# The menu's prompt of each program.
prompt_of() { case "$1" in *-zh*) echo "请选择操作类型：" ;; *) echo "Please choose：" ;; esac; }

# The expected output of a whole upgrade of a 3000-byte image, from a transcript of tests/windows/expected
# (comment lines dropped, lines joined, {erase} and the \r \n escapes expanded); GBK with a third argument.
expected_transcript() {  # FILE.txt OUT [gbk]
  local erase="\\\\r[Tavelo IAP]:$(printf '%60s' '')"
  printf '%b' "$(grep -v '^#' "$1" | tr -d '\n' | sed "s/{erase}/$erase/g")" > "$2"
  if [ -n "${3:-}" ]; then iconv -f UTF-8 -t GBK "$2" > "$2.gbk" && mv "$2.gbk" "$2"; fi
}
# Shows where two outputs differ (CR as \r).
show_diff() {  # EXPECTED ACTUAL
  diff <(sed 's/\r/\\r/g' "$1") <(sed 's/\r/\\r/g' "$2") | head -20
}
# Drives the menu of a started program: N upgrades ("1", each back at the menu within S seconds), then
# "2"; returns the program's exit status (or 125 when a step did not come back to the menu).
menu_upgrades() {  # DIR PROMPT N [S]
  local dir="$1" prompt="$2" n="$3" limit="${4:-120}" i
  wait_output "$dir" "$prompt" 1 60 || { fail "no menu"; return 125; }
  for i in $(seq 1 "$n"); do
    answer 1
    wait_output "$dir" "$prompt" $(( i + 1 )) "$limit" || { fail "upgrade $i did not come back to the menu"; return 125; }
  done
  answer 2
  end_program
}

run_cases() {  # AFTER CASE...: each case_CASE in turn, then AFTER (a command, or ""); failures counted
  local after="$1" c start
  shift
  for c in "$@"; do
    case_ok=1
    start=$(date +%s)
    echo "RUN  $c"
    "case_$c"
    [ -z "$after" ] || "$after"
    if [ "$case_ok" -eq 1 ]; then
      echo "PASS $c ($(( $(date +%s) - start )) s)"
    else
      echo "FAIL $c"
      failures=$((failures + 1))
    fi
  done
}
