#!/usr/bin/env bash
# Runs a command with its standard output on a console: under a pseudo-terminal (script), where Wine gives
# a Windows program a console. The exit status is the command's; its output, which Wine's console draws
# with cursor controls, is shown as plain text.
# Usage: run_on_console.sh COMMAND [ARG ...]
set -uo pipefail
script -qec "$(printf '%q ' "$@")" /dev/null </dev/null |
  sed -e 's/\x1b\[K\x1b\[1C/ /g' -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\r//g'
