#!/usr/bin/env bash
# Installs what a fresh machine lacks to build and test the project, through apt-get.
# Does nothing when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-dev
  libsoci-dev libboost-dev libpugixml-dev libcli11-dev libfmt-dev nlohmann-json3-dev
  libsqlite3-dev sqlite3 libpq-dev postgresql odbc-postgresql unixodbc unixodbc-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev python3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "setup: all packages present"
fi
