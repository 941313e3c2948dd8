#!/bin/bash
# Installs what the client needs to build and run on Debian 12 (as root).
set -e
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
  build-essential cmake ninja-build pkg-config \
  qtbase5-dev qtbase5-dev-tools qttools5-dev-tools qtmultimedia5-dev \
  libqt5multimedia5-plugins qt5-style-plugin-plastique \
  zlib1g-dev libminiupnpc-dev libnatpmp-dev \
  xvfb xauth x11-apps x11-utils xdotool imagemagick iproute2 util-linux procps
