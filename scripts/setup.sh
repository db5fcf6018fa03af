#!/usr/bin/env bash
# Installs the Debian 12 packages Pallix needs (idempotent; apt-get as root)
# and builds the project into build/.
#
#   scripts/setup.sh                 install and build (Release)
#   scripts/setup.sh --no-build      install only
#   scripts/setup.sh --install       build, then install pallix and pallix-desktop
#                                    into ~/.local (binaries, icon, application entry)
set -euo pipefail
cd "$(dirname "$0")/.."

# Every package the build, the tests and the benchmarks use. The test
# setup_packages_test (scripts/check-packages.py) fails, naming the package
# and what needed it, when something they use comes from a package not here.
PACKAGES=(
  build-essential cmake ninja-build pkg-config ccache git
  libsqlite3-dev libicu-dev libplist-dev nlohmann-json3-dev
  libopenblas-dev libcurl4-openssl-dev libssl-dev libncurses-dev
  libgtest-dev libgmock-dev libbenchmark-dev libhnswlib-dev
  python3 python3-numpy xdg-utils tmux sqlite3
  libxcb1-dev libxcb-xfixes0-dev libxcb-xtest0-dev libxcb-xinput-dev libx11-dev libxdo-dev libgumbo-dev unicode-data
  unicode-cldr-core  # the words people use for each emoji (CLDR annotations)
  xvfb xclip xdotool x11-utils wl-clipboard wtype openbox
  libical-dev wordnet-base wordnet-dev libglib2.0-dev unzip
  wordnet  # WordNet's own wn, the reference of the dictionary tests
  libsentencepiece-dev python3-sentencepiece  # the multilingual model's tokenizer and its test reference
  python3-icalendar python3-dateutil  # the reference reader of the calendar tests
  python3-vobject  # the reference reader of the vCard tests
  qt6-base-dev qt6-qpa-plugins libqt6svg6 fonts-noto-color-emoji
  clang libclang-rt-14-dev  # clang++ and libFuzzer build the fuzz targets
  clang-format  # the format check
  plocate  # the reference of the command-cost benchmark
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

# The LZFSE reference sources. Debian 12 has no LZFSE package, but apfs-dkms
# carries Apple's reference library (BSD-3) in its source tree. The package is
# only downloaded and unpacked, never installed (installing it builds a kernel
# module); CMake builds the sources from .deps/lzfse (git-ignored, shared by
# every build tree). Nothing happens when they are already there.
fetch_lzfse() {
  local dest=.deps/lzfse
  [ -f "$dest/lzfse/lzfse.h" ] && [ -f "$dest/lzfse/lzfse_internal.h" ] && return 0
  local work
  work=$(mktemp -d)
  chmod 755 "$work"  # apt-get download runs as _apt when it can
  if ! (cd "$work" && apt-get download apfs-dkms >/dev/null 2>&1); then
    echo "apt-get download apfs-dkms failed; refreshing the package lists and retrying"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    (cd "$work" && apt-get download apfs-dkms >/dev/null)
  fi
  dpkg -x "$work"/apfs-dkms_*.deb "$work/unpacked"
  local src
  src=$(find "$work/unpacked/usr/src" -maxdepth 2 -type d -name lzfse | head -n 1)
  if [ -z "$src" ] || [ ! -f "$src/lzfse.h" ]; then
    echo "apfs-dkms has no lzfse/ folder under usr/src; cannot build LZFSE" >&2
    rm -rf "$work"
    return 1
  fi
  mkdir -p .deps
  rm -rf "$dest.partial"
  mkdir -p "$dest.partial"
  cp -r "$src" "$dest.partial/lzfse"
  cp "$work/unpacked/usr/share/doc/apfs-dkms/copyright" "$dest.partial/copyright" 2>/dev/null || true
  basename "$work"/apfs-dkms_*.deb > "$dest.partial/SOURCE"
  rm -rf "$work"
  rm -rf "$dest"
  mv "$dest.partial" "$dest"
  echo "LZFSE reference sources unpacked into $dest"
}
fetch_lzfse

[ "${1:-}" = "--no-build" ] && exit 0

BUILD_DIR=${PALLIX_BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" --parallel "$(nproc)"
echo "Built $BUILD_DIR/bin/pallix"

# --install: the two executables in ~/.local/bin (and the commands the
# pallix front end starts in ~/.local/libexec), the icon in the hicolor
# theme and an application entry, so Pallix appears in the desktop's launcher.
if [ "${1:-}" = "--install" ]; then
  prefix="${PALLIX_INSTALL_PREFIX:-$HOME/.local}"
  install -d "$prefix/bin" "$prefix/libexec" "$prefix/share/applications" "$prefix/share/icons/hicolor/scalable/apps"
  install -m 755 "$BUILD_DIR/libexec/pallix-commands" "$prefix/libexec/pallix-commands"
  install -m 755 "$BUILD_DIR/bin/pallix" "$prefix/bin/pallix"
  [ -x "$BUILD_DIR/bin/pallix-desktop" ] && install -m 755 "$BUILD_DIR/bin/pallix-desktop" "$prefix/bin/pallix-desktop"
  install -m 644 resources/pallix.svg "$prefix/share/icons/hicolor/scalable/apps/pallix.svg"
  cat > "$prefix/share/applications/pallix.desktop" <<ENTRY
[Desktop Entry]
Type=Application
Name=Pallix
GenericName=Search and launch
Comment=Find apps, files and answers from one search field
Exec=$prefix/bin/pallix-desktop
Icon=pallix
Terminal=false
Categories=Utility;
Keywords=search;launcher;files;calculator;clipboard;emoji;
StartupNotify=false
ENTRY
  command -v update-desktop-database >/dev/null && update-desktop-database -q "$prefix/share/applications" || true
  echo "Installed into $prefix: run pallix-desktop (or find Pallix in your desktop's launcher)."
fi
