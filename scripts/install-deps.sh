#!/usr/bin/env bash
# Debian packages the build, the tests and the demo need.
set -euo pipefail
SUDO=""
if [ "$(id -u)" != "0" ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
  build-essential cmake pkg-config ccache git \
  juce-modules-source fst-dev \
  libfreetype-dev libfontconfig1-dev libx11-dev libxext-dev libxrandr-dev libxinerama-dev \
  libxcursor-dev libxcomposite-dev libasound2-dev libpng-dev libjpeg-dev zlib1g-dev \
  libgtest-dev libsndfile1-dev libexpat1-dev lilv-utils \
  xvfb xauth x11-utils xdotool imagemagick fonts-dejavu-core \
  clang libclang-rt-14-dev clang-format \
  amsynth dpf-plugins-vst zynaddsubfx-vst \
  mda-lv2 dpf-plugins-lv2
