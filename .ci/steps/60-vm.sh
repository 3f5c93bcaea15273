#!/usr/bin/env bash
# The virtual-machine test bed (scripts/vm): Debian's kernel under QEMU with a USB gadget tablet on
# dummy_hcd. The release programs over the real usbhid + hidraw stack, then the 32-bit Windows programs
# under i386 Wine in the guest (Windows tests, demo transcripts, TaveloIAP.exe through winebus).
set -euo pipefail
cd "$(dirname "$0")/../.."
export TAVELO_CMAKE_ARGS="${TAVELO_CMAKE_ARGS:--DTAVELO_WERROR=ON}"
start=$(date +%s)
scripts/vm test all
echo "vm step: $(( $(date +%s) - start )) s"
