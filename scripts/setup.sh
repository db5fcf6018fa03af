#!/usr/bin/env bash
# Installs the Debian 12 packages Pallix needs (idempotent; apt-get as root)
# and builds the project into build/.
#
#   scripts/setup.sh                 install and build (Release)
#   scripts/setup.sh --no-build      install only
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake ninja-build pkg-config ccache git
  libsqlite3-dev libicu-dev libplist-dev nlohmann-json3-dev
  libopenblas-dev libcurl4-openssl-dev libssl-dev libncurses-dev
  libgtest-dev libgmock-dev libbenchmark-dev libhnswlib-dev
  python3 python3-numpy xdg-utils tmux
  libical-dev wordnet-base wordnet-dev libglib2.0-dev unzip
  python3-torch
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

[ "${1:-}" = "--no-build" ] && exit 0

BUILD_DIR=${PALLIX_BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" --parallel "$(nproc)"
echo "Built $BUILD_DIR/bin/pallix"
