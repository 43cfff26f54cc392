#!/usr/bin/env bash
# Installs what is missing, builds the programs that Vaskel installs and makes its Debian package
# with CPack. Prints the path of the .deb.
set -euo pipefail
cd "$(dirname "$0")/.."
# dpkg-shlibdeps (dpkg-dev) computes the package's library dependencies; CPack finds the
# binaries to give it with `file`.
scripts/deps.sh dpkg-dev file
cmake --preset default >/dev/null
cmake --build --preset default --target packaged-programs
build=$(pwd)/build/default
(cd "$build" && cpack --config CPackConfig.cmake -B "$build" >/dev/null)
deb=$(ls -t "$build"/vaskel_*.deb | head -n 1)
echo "$deb"
