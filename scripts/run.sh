#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the Linux program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native --target firmware-updater

program=build/native/platform/linux/firmware-updater
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "run: no display found; starting the program on a virtual screen (xvfb-run)." >&2
  exec xvfb-run -a "$program"
fi
exec "$program"
