#!/usr/bin/env bash
# Runs a command inside a private desktop session that assistive technology can read: its own
# Xvfb display, its own D-Bus session bus and its own AT-SPI bus (at-spi-bus-launcher, which
# starts at-spi2-registryd on that bus). Nothing of the caller's session is used or touched, and
# everything started here ends with the command.
#   tests/window/atspi_session.sh COMMAND [ARGS...]
# The command runs with DISPLAY, DBUS_SESSION_BUS_ADDRESS and XDG_RUNTIME_DIR set, and with Qt's AT-SPI bridge switched on for every Qt program it starts.
set -euo pipefail

if [ "${ATSPI_SESSION_INNER:-}" != 1 ]; then
    # Outer half: a private runtime folder and X display, then a private session bus.
    # -displayfd: the server takes a display number free at that moment (never a fixed one that a
    # parallel test's server could hold) and writes it, then a newline, once it accepts clients.
    # -noreset: it stays as it is when its last client leaves, instead of rebuilding everything
    # while the next client connects.
    runtime=$(mktemp -d /tmp/vaskel-atspi.XXXXXX)
    chmod 700 "$runtime"
    Xvfb -displayfd 3 -noreset -screen 0 1280x1024x24 -nolisten tcp 3>"$runtime/display" \
        >"$runtime/xvfb.log" 2>&1 &
    xvfb=$!
    cleanup() {
        kill "$xvfb" 2>/dev/null || true
        wait "$xvfb" 2>/dev/null || true
        rm -rf "$runtime"
    }
    trap cleanup EXIT
    # The whole line: the number alone may be written before its newline.
    for _ in $(seq 200); do
        [ "$(wc -l <"$runtime/display")" -ge 1 ] && break
        kill -0 "$xvfb" 2>/dev/null || { cat "$runtime/xvfb.log" >&2; exit 1; }
        sleep 0.02
    done
    [ "$(wc -l <"$runtime/display")" -ge 1 ] || { echo "atspi_session: Xvfb did not start" >&2; exit 1; }
    export DISPLAY=":$(head -n1 "$runtime/display")"
    export XDG_RUNTIME_DIR="$runtime"
    export ATSPI_SESSION_INNER=1
    # Not exec: the trap above must still run when the session ends.
    set +e
    dbus-run-session -- "$0" "$@"
    exit $?
fi

# Inner half, on the private session bus: the AT-SPI bus, then the command.
unset ATSPI_SESSION_INNER
/usr/libexec/at-spi-bus-launcher --launch-immediately >"$XDG_RUNTIME_DIR/at-spi.log" 2>&1 &
launcher=$!
trap 'kill "$launcher" 2>/dev/null || true; wait "$launcher" 2>/dev/null || true' EXIT
# Wait for the launcher to own its name before asking it, so that the question does not start a
# second launcher through D-Bus activation.
for _ in $(seq 250); do
    dbus-send --session --print-reply=literal --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.a11y.Bus 2>/dev/null | grep -q true && break
    kill -0 "$launcher" 2>/dev/null || break
    sleep 0.02
done
address=""
for _ in $(seq 250); do
    address=$(dbus-send --session --print-reply=literal --dest=org.a11y.Bus /org/a11y/bus \
        org.a11y.Bus.GetAddress 2>/dev/null | tr -d ' ' || true)
    [ -n "$address" ] && break
    kill -0 "$launcher" 2>/dev/null || break
    sleep 0.02
done
if [ -z "$address" ]; then
    echo "atspi_session: the AT-SPI bus did not start" >&2
    cat "$XDG_RUNTIME_DIR/at-spi.log" >&2
    exit 1
fi
# AT_SPI_BUS_ADDRESS is left unset: Qt 6.4 given the address that way connects but never registers
# its application with the registry. Asked through the session bus (org.a11y.Bus), as on a
# desktop, it does; libatspi finds the bus the same way.
unset AT_SPI_BUS_ADDRESS
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1 QT_QPA_PLATFORM=xcb
export NO_AT_BRIDGE=0
set +e
"$@"
