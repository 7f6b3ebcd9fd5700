#!/usr/bin/env bash
# Runs a program in a private mount namespace whose /dev holds only the basic
# nodes, /dev/pts, /dev/ptmx, a fresh /dev/shm and the serial nodes given, so
# the program sees exactly the ports a test wants it to see. Needs root.
#
#   run_in_namespace.sh [--port ttyS2=/tmp/x/com3 ...] -- PROGRAM [ARGS...]
#
# Each --port NODE=TARGET makes /dev/NODE a symlink to TARGET (a simulator's
# link, which points to its pty slave under /dev/pts). The program is exec'd,
# so its process id is this script's.
set -euo pipefail

if [[ "${1:-}" != "--in-namespace" ]]; then
  exec unshare --mount --propagation private -- "$0" --in-namespace "$@"
fi
shift

ports=()
while [[ $# -gt 0 && "$1" != "--" ]]; do
  case "$1" in
    --port) ports+=("$2"); shift 2 ;;
    *) echo "run_in_namespace: unknown option $1" >&2; exit 2 ;;
  esac
done
[[ "${1:-}" == "--" ]] && shift
[[ $# -gt 0 ]] || { echo "run_in_namespace: no program given" >&2; exit 2; }

# Build the new /dev aside, then move it over the old one in one step.
stage=$(mktemp -d /tmp/fu-dev.XXXXXX)
mount -t tmpfs -o mode=755,size=1m fu-dev "$stage"
for node in null zero full random urandom tty; do
  touch "$stage/$node"
  mount --bind "/dev/$node" "$stage/$node"
done
mkdir "$stage/pts" "$stage/shm"
mount --bind /dev/pts "$stage/pts"
touch "$stage/ptmx"
mount --bind /dev/ptmx "$stage/ptmx"
mount -t tmpfs -o mode=1777,size=64m fu-shm "$stage/shm"
ln -s /proc/self/fd "$stage/fd"
ln -s /proc/self/fd/0 "$stage/stdin"
ln -s /proc/self/fd/1 "$stage/stdout"
ln -s /proc/self/fd/2 "$stage/stderr"
for port in "${ports[@]}"; do
  ln -s "${port#*=}" "$stage/${port%%=*}"
done
mount --move "$stage" /dev
rmdir "$stage"

exec "$@"
