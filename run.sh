#!/usr/bin/env bash
# Installs what is missing, builds, and opens the window.
#   ./run.sh          the window on the real ports
#   ./run.sh --demo   the window talking to a simulated device on COM1
set -euo pipefail
source "$(dirname "$0")/scripts/setup.sh"

demo=0
if [ "${1:-}" = "--demo" ]; then
    demo=1
    shift
fi

quorvex_install_packages "${QUORVEX_PACKAGES[@]}"
quorvex_build "$QUORVEX_ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display found: run this from a desktop session (or set QT_QPA_PLATFORM)." >&2
    exit 1
fi

if [ $demo -eq 0 ]; then
    exec "$QUORVEX_ROOT/build/quorvex" "$@"
fi

# The simulator prints its device path first; COM1 is mapped to it, so the
# program opens it at start-up. It answers Modbus requests to slave 1, echoes
# everything else and sends a reading every two seconds.
sim_out=$(mktemp)
"$QUORVEX_ROOT/build/tools/quorvex-devsim" --stream-text 'T=23.5 RH=41%\r\n' --every 2000 >"$sim_out" &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; rm -f "$sim_out"' EXIT
for _ in $(seq 50); do
    [ -s "$sim_out" ] && break
    sleep 0.1
done
device=$(head -n 1 "$sim_out")
if [ -z "$device" ]; then
    echo "The device simulator did not start." >&2
    exit 1
fi
echo "Simulated device on $device (COM1). Try sending 01 03 00 00 00 0A C5 CD as hexadecimal."
QUORVEX_COM1=$device "$QUORVEX_ROOT/build/quorvex" "$@"
