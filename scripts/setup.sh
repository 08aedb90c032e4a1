# Shared by run.sh and test.sh: installs what is missing on Debian 12 and builds
# out of tree. Source it; it defines functions only.

QUORVEX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QUORVEX_PACKAGES=(cmake g++ make file pkg-config qt6-base-dev qt6-serialport-dev libqt6serialport6
                  libssl-dev liblua5.4-dev fonts-wqy-microhei qt6-translations-l10n lrzsz
                  qt6-charts-dev libqt6charts6)
# What only the tests need: clang's libFuzzer for the fuzz target, ser2net,
# the serial server the remote port tests talk to, and a JUnit reader that
# checks the reports scripts write.
QUORVEX_TEST_PACKAGES=(clang libclang-rt-dev ser2net python3-junitparser)

quorvex_install_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1; then
            sudo=(sudo)
        else
            echo "These Debian packages are missing and I am not root: ${missing[*]}" >&2
            return 1
        fi
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq "${missing[@]}"
}

# quorvex_build DIR [cmake options...]
quorvex_build() {
    local dir=$1
    shift
    cmake -S "$QUORVEX_ROOT" -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
}
