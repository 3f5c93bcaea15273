#!/usr/bin/env bash
# The links of README.md and docs/: each leads to a file and a heading that exist, and the owner's part of
# README.md, which the Debian package installs alone, links only within itself. Under a second.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps python3
scripts/check-links
