# Sourced by run.sh and test.sh: installs the Debian packages the build needs when they are
# missing and we are root (a fresh machine), then configures the given CMake preset.
set -euo pipefail

PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev systemd util-linux python3 groff-base)

# install_missing_packages [PACKAGE...]: the build's packages, or the ones given (installed
# without recommended extras, which for Wine would be a desktop's worth).
install_missing_packages() {
  local wanted=("$@")
  local options=()
  if [ ${#wanted[@]} -eq 0 ]; then
    wanted=("${PACKAGES[@]}")
  else
    options=(--no-install-recommends)
  fi
  local missing=()
  for package in "${wanted[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root or install them with apt-get)" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${options[@]}" "${missing[@]}"
}

# configure_preset PRESET [TARGET...]: configures and builds the preset (only the targets given).
configure_preset() {
  local preset=$1
  shift
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" "${targets[@]}" -- -j"$(nproc)"
}

cd "$(dirname "${BASH_SOURCE[0]}")/.."
install_missing_packages
