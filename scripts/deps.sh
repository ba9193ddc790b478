#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, when any is missing.
set -euo pipefail
# fuse3 and libfuse3-dev for cont mount (fusermount3 for users who are not
# root); ffmpeg for the tests and the demo that decode media from a mount;
# libcli11-dev and nlohmann-json3-dev for cont's command line and its --json;
# GStreamer's development packages for contsrc (gst/), and for its tests and
# the demo GStreamer's tools, demuxers (base, good) and decoders (libav);
# zsh and fish for the tests of cont's completion in those shells.
packages=(cmake ninja-build g++ clang clang-format libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev
          pkgconf fuse3 libfuse3-dev ffmpeg libcli11-dev
          nlohmann-json3-dev libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools
          gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav zsh fish)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
