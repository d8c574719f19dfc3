# Cross build for Debian s390x, 64-bit and big-endian:
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake (see scripts/cross.sh).
set(TOLVANE_CROSS_TRIPLET s390x-linux-gnu)
set(TOLVANE_DEBIAN_ARCH s390x)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(TOLVANE_QEMU s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
