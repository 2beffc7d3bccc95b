#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those
# that are missing. Safe to run again; quiet when nothing is to do.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libjsoncpp-dev duktape-dev libcurl4-openssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
  libpacparser-dev
  libglib2.0-dev gsettings-desktop-schemas
  # The Windows build: cross-compiler, Wine to run its tests, and what
  # unpacks Debian's jsoncpp source for it (GoogleTest's sources come with
  # libgtest-dev in /usr/src/googletest).
  g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

if [ ${#missing[@]} -ne 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# jsoncpp and cpp-httplib (the tests' local server) for the Windows build,
# from Debian's source packages of the versions the Linux build links.
# Debian ships no Windows binaries of them, so their sources are fetched with a private apt configuration that knows the
# deb-src entry; the system's own sources are left as they are.
deps=build/deps
if ! compgen -G "$deps/libjsoncpp-*/CMakeLists.txt" >/dev/null ||
   ! compgen -G "$deps/cpp-httplib-*/httplib.h" >/dev/null; then
  echo "install-deps: fetching Debian's jsoncpp and cpp-httplib sources into $deps"
  mkdir -p "$deps/apt/lists/partial" "$deps/apt/cache/archives/partial" "$deps/apt/sources"
  cat >"$deps/apt/sources/debian-src.sources" <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  apt_private=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$PWD/$deps/apt/sources"
               -o Dir::State::Lists="$PWD/$deps/apt/lists" -o Dir::Cache="$PWD/$deps/apt/cache"
               -o APT::Sandbox::User=root)
  apt-get "${apt_private[@]}" update -qq
  for package in libjsoncpp cpp-httplib; do
    (cd "$deps" && apt-get "${apt_private[@]}" source -qq "$package" >/dev/null 2>&1 ||
       apt-get "${apt_private[@]}" source -qq "$package")
  done
fi
