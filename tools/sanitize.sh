#!/usr/bin/env bash
# The sanitizer build (AddressSanitizer and UBSan, cmake -DZAR_SANITIZE=ON)
# in build-asan/, beside the ordinary build, and a run of the suites that
# drive the drivers, the host and the library: the board driver, the media
# file system, the machine host and ZarDll's frame. Set-up, log and output as
# for ./zar test; further arguments go to ctest.
#
#   tools/sanitize.sh [ctest options]
#
# Under the emulator the sanitized programs run several times slower,
# LeakSanitizer is off (see tools/run-i386) and the emulated address space
# is kept within the three gigabytes AddressSanitizer shadows there
# (QEMU_RESERVED_VA, set for the tests by CMakeLists.txt).
set -euo pipefail

ZAR_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
ZAR_BUILD="$ZAR_ROOT/build-asan"
ZAR_CMAKE_OPTIONS=(-DZAR_SANITIZE=ON)
# shellcheck source=tools/setup.sh
source "$ZAR_ROOT/tools/setup.sh"

# The suites by their folders' labels (zar_add_tests in CMakeLists.txt),
# and the folders' build targets: only what those suites run is built.
ZAR_SANITIZE_SUITES='^(board|mediafs|host|api)$'
ZAR_SANITIZE_TARGETS=(tests/drivers/board/all tests/drivers/mediafs/all tests/platform/host/all tests/lib/api/all)

zar_log_init sanitize "$@"
zar_setup
if ! grep -q '^ZAR_SANITIZE:BOOL=ON$' "$ZAR_BUILD/CMakeCache.txt"; then
    zar_die "$ZAR_BUILD is configured without ZAR_SANITIZE=ON; delete it and run again"
fi
zar_build "${ZAR_SANITIZE_TARGETS[@]}"
zar_test -L "$ZAR_SANITIZE_SUITES" "$@"
