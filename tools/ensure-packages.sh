#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, when run as root;
# otherwise names the missing ones and fails. Usage: ensure-packages.sh [linux-only]
set -u
# clang-format-14: the version the format check is pinned to; mandoc lints
# the manual pages; ccache serves rebuilds; clang-14, lld-14 and llvm-14
# link and join the Mac programs of the signed shows; strace records what
# a fix does to the disk for e2e.crash_states.
packages=(cmake make g++ zlib1g-dev libgtest-dev python3 zip unzip p7zip-full libarchive-tools unicode-data
  clang-format-14 mandoc ccache clang-14 lld-14 llvm-14 strace)
if [ "${1:-}" != linux-only ]; then
  packages+=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine fonts-wine xvfb imagemagick xdotool)
  # The web page: its compiler, dpkg-source for zlib's source (and
  # dpkg-shlibdeps for the release's .deb), the three
  # browser engines it is tested in, and npm for the driver.
  packages+=(emscripten dpkg-dev chromium firefox-esr webkit2gtk-driver xauth)
  command -v npm >/dev/null || packages+=(npm)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 2
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || {
  echo "apt-get could not install: ${missing[*]}" >&2
  exit 2
}
