#!/usr/bin/env bash
# Installs the Debian packages the demo and the tests need (a virtual display,
# input and screen tools, fonts, OpenCV's GUI libraries, a C and C++ toolchain
# with the kernel headers that evdev, a dependency of pynput, builds against,
# and Debian's chromium, the browser the web front-end's tests drive),
# skipping those already present.
set -euo pipefail
packages="xvfb xauth xdotool x11-utils imagemagick fonts-dejavu-core fonts-liberation2 libgl1 libglib2.0-0 make gcc g++ linux-libc-dev chromium"
missing=""
for p in $packages; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "missing Debian packages:$missing (install them as root: apt-get install$missing)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq $missing >/dev/null
