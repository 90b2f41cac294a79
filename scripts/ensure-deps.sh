#!/usr/bin/env bash
# Installs the build prerequisites from Debian's packages when any is missing.
set -euo pipefail

packages=()
need() { command -v "$1" >/dev/null 2>&1 || packages+=("$2"); }
need_file() { [ -e "$1" ] || packages+=("$2"); }

need cmake cmake
need ninja ninja-build
need g++ g++
need clang++ clang
need clang-format clang-format
need pkg-config pkg-config
need valgrind valgrind
need abidiff abigail-tools
need doxygen doxygen
need readelf binutils
need man man-db
need_file /usr/include/gtest/gtest.h libgtest-dev
need_file /usr/include/gmock/gmock.h libgmock-dev
need_file /usr/include/benchmark/benchmark.h libbenchmark-dev
need_file /usr/share/zoneinfo/Europe/Berlin tzdata
# The INI tests generate a comma-decimal locale from these sources (else they skip it).
need_file /usr/share/i18n/locales/de_DE locales
need dpkg-shlibdeps dpkg-dev

install() {
    [ $# -gt 0 ] || return 0
    echo "installing: $*"
    local sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    # A fresh machine may have stale package lists: update them first when a package is missing.
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "$@"
}
install "${packages[@]}"

# The fuzz targets link clang's libFuzzer runtime, packaged per clang major version: ask the
# installed clang where its runtime lives and which version it is.
fuzzer=$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a)
if [ ! -e "$fuzzer" ]; then
    install "libclang-rt-$(clang++ -dumpversion | cut -d. -f1)-dev"
fi
