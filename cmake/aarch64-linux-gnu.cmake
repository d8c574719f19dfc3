# Cross build for Debian arm64:
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake (see scripts/cross.sh).
set(TOLVANE_CROSS_TRIPLET aarch64-linux-gnu)
set(TOLVANE_DEBIAN_ARCH arm64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TOLVANE_QEMU aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
