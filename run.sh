#!/usr/bin/env bash
# Installs what is missing, builds, and opens the window.
set -euo pipefail
source "$(dirname "$0")/scripts/setup.sh"

quorvex_install_packages "${QUORVEX_PACKAGES[@]}"
quorvex_build "$QUORVEX_ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display found: run this from a desktop session (or set QT_QPA_PLATFORM)." >&2
    exit 1
fi
exec "$QUORVEX_ROOT/build/quorvex" "$@"
