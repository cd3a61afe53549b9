#!/usr/bin/env bash
# Installs the build and test dependencies that are missing (Debian or Ubuntu).
# Does nothing when everything is present, so it also works offline.
set -euo pipefail

packages=()
need_tool() { command -v "$1" >/dev/null 2>&1 || packages+=("$2"); }
need_pkg() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed" || packages+=("$1")
}

need_tool cmake cmake
need_tool g++ g++
need_tool ninja ninja-build
need_tool python3 python3
need_tool openssl openssl
need_tool pkg-config pkg-config
need_tool clang++ clang
need_pkg libclang-rt-14-dev
need_pkg libgtest-dev
need_pkg libssl-dev
need_pkg libcurl4-openssl-dev
need_pkg libmicrohttpd-dev
need_pkg nlohmann-json3-dev
need_pkg libzmq3-dev
need_pkg python3-zmq
# The dashboard's charts (built into the program) and its test in a real browser.
need_pkg libjs-chart.js
need_tool chromium chromium
# The log tests rotate the log with the real logrotate.
need_tool logrotate logrotate
# The pool tests put the Stratum test server behind a real TLS listener.
need_tool stunnel4 stunnel4
# The Debian package: dpkg-shlibdeps for its dependencies, lintian to judge it.
need_tool dpkg-shlibdeps dpkg-dev
need_tool lintian lintian

if [ ${#packages[@]} -eq 0 ]; then
    exit 0
fi
echo "Installing: ${packages[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${packages[@]}"
