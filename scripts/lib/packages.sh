# Debian packages the build, the tests and the tools need. Sourced by the scripts.
KESTRUNE_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev libzip-dev libsystemd-dev systemd zip unzip python3 python3-numpy libcpp-httplib-dev
  faketime zlib1g-dev python3-pandas libmosquitto-dev mosquitto mosquitto-clients)
# What the Windows cross builds need beyond that (scripts/build-windows, scripts/test-windows):
# MinGW's zlib, linked into XceedZip.dll.
KESTRUNE_WINDOWS_PACKAGES=(libz-mingw-w64-dev)

kestrune_install_packages() {
  local missing=() p
  for p in "${KESTRUNE_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
