#!/usr/bin/env bash
# Installs the Debian packages the build, the demo and the tests need, make
# included, so that a machine with nothing but the base system can build. Safe
# to run again: packages already present are left alone and apt is not touched
# at all then.
#
# As root it calls apt-get directly; otherwise through sudo where sudo exists;
# otherwise it says what to run as root and fails.
set -euo pipefail

PACKAGES=(
  make
  build-essential
  clang
  libclang-rt-14-dev
  cmake
  ninja-build
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  libpugixml-dev
  clang-format
  # tmsctl serve: its HTTP server and JSON, and the browser its test loads
  # the page in (with a font for the screenshot)
  libcpp-httplib-dev
  pkg-config
  nlohmann-json3-dev
  chromium
  fonts-dejavu-core
  # cpack -G DEB reads the libraries' dependencies with it
  file
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  SUDO=()
elif command -v sudo >/dev/null 2>&1; then
  SUDO=(sudo)
else
  echo "install-deps: missing packages and no sudo; as root run:" >&2
  echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq </dev/null
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
