#!/usr/bin/env bash
# Installs what is missing, builds Vaskel and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target vaskel vaskel_vnc_localhost
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  export VASKEL_VNC_PORT=${VASKEL_VNC_PORT:-5900}
  echo "No display found: Vaskel runs on Qt's VNC platform, on 127.0.0.1 only."
  echo "Connect a VNC viewer to 127.0.0.1:${VASKEL_VNC_PORT} to use it."
  export QT_QPA_PLATFORM="vnc:port=${VASKEL_VNC_PORT}:size=1024x800"
  # Qt's VNC server would listen on every interface; this keeps it on the loopback address.
  export LD_PRELOAD="$(pwd)/build/default/libvaskel_vnc_localhost.so${LD_PRELOAD:+:$LD_PRELOAD}"
fi
exec build/default/vaskel
