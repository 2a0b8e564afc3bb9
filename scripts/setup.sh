#!/usr/bin/env bash
# Installs what Orv needs to build, test and run its tools on Debian, when it
# is missing. Safe to run again; does nothing when everything is there.
set -euo pipefail

packages=(cmake ninja-build g++ clang clang-format pkg-config googletest libgtest-dev libbenchmark-dev
          libsndfile1-dev nlohmann-json3-dev libmysofa-dev libfftw3-dev libopenal-dev
          python3-numpy python3-matplotlib python3-pytest
          portaudio19-dev libcli11-dev doxygen)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
