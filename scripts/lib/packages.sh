# Debian packages the build, the tests and the tools need. Sourced by the scripts.
KESTRUNE_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev libzip-dev libsystemd-dev systemd zip unzip python3 python3-numpy libcpp-httplib-dev
  faketime zlib1g-dev python3-pandas libmosquitto-dev mosquitto mosquitto-clients ccache
  help2man lintian clang-format)
# What the Windows cross builds need beyond that (scripts/build-windows, scripts/test-windows):
# MinGW's zlib, linked into XceedZip.dll.
KESTRUNE_WINDOWS_PACKAGES=(libz-mingw-w64-dev)
# What the arm64 cross build and its run under qemu need (scripts/build-arm64,
# scripts/test-arm64): the cross compiler, the arm64 twins of the libraries the build links
# (multiarch, beside the x86-64 ones) and the user-mode emulator.
KESTRUNE_ARM64_PACKAGES=(g++-aarch64-linux-gnu qemu-user libsqlite3-dev:arm64 libzip-dev:arm64
  zlib1g-dev:arm64 libsystemd-dev:arm64 libgtest-dev:arm64 libcpp-httplib-dev:arm64
  libmosquitto-dev:arm64)

# Adds a foreign architecture to dpkg (once), so that its packages can be installed beside
# the machine's own; the next kestrune_install_packages then updates the lists.
kestrune_add_architecture() {
  dpkg --print-foreign-architectures | grep -qx "$1" && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo dpkg --add-architecture "$1"
}

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

# Compilations go through ccache where it is installed (it is in the list above), so the
# several builds of one run (native, Windows, arm64, fuzz) and the next run on the same machine
# reuse what did not change. CMake takes these variables at a build folder's first configure.
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
  # Paths below the checkout are hashed relative to it, so another clone hits the same entries.
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=1
fi
