# Cross build for Debian arm64:
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake (see scripts/cross.sh).
set(TOLVANE_CROSS_TRIPLET aarch64-linux-gnu)
set(TOLVANE_DEBIAN_ARCH arm64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TOLVANE_QEMU aarch64)
# Signed return addresses are checked with the processor's own algorithm
# rather than the architecture's reference one, which qemu-user computes
# slowly: the suites run three times as fast.
set(TOLVANE_QEMU_OPTIONS -cpu max,pauth-impdef=on)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
