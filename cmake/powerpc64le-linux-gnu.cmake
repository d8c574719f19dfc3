# Cross build for Debian ppc64el, 64-bit little-endian POWER:
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc64le-linux-gnu.cmake (see scripts/cross.sh).
set(TOLVANE_CROSS_TRIPLET powerpc64le-linux-gnu)
set(TOLVANE_DEBIAN_ARCH ppc64el)
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(TOLVANE_QEMU ppc64le)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
