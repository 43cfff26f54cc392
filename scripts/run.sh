#!/usr/bin/env bash
# Installs what is missing, builds Vaskel and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target vaskel
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  port=${VASKEL_VNC_PORT:-5900}
  echo "No display found: Vaskel runs on Qt's VNC platform."
  echo "Connect a VNC viewer to 127.0.0.1:${port} to use it."
  export QT_QPA_PLATFORM="vnc:addr=127.0.0.1:port=${port}:size=1024x800"
fi
exec build/default/vaskel
