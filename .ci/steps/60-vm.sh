#!/usr/bin/env bash
# The virtual-machine test bed (scripts/vm): Debian's kernel under QEMU with a USB gadget tablet on
# dummy_hcd. The release programs over the real usbhid + hidraw stack (the host's Debian 12 root), then
# the 32-bit Windows programs under i386 Wine 10 in a Debian 13 root the step makes with mmdebstrap
# (Windows tests, demo transcripts, TaveloIAP.exe through winebus, its restart into the boot loader
# included). The root and the Wine prefix are cached in /var/cache/taveloiap-vm.
set -euo pipefail
cd "$(dirname "$0")/../.."
export TAVELO_CMAKE_ARGS="${TAVELO_CMAKE_ARGS:--DTAVELO_WERROR=ON}"
start=$(date +%s)
scripts/vm test all
echo "vm step: $(( $(date +%s) - start )) s"
