# Cross build for Debian mips64el, 64-bit little-endian MIPS with the n64 ABI:
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mips64el-linux-gnuabi64.cmake (see scripts/cross.sh).
set(TOLVANE_CROSS_TRIPLET mips64el-linux-gnuabi64)
set(TOLVANE_DEBIAN_ARCH mips64el)
set(CMAKE_SYSTEM_PROCESSOR mips64)
set(TOLVANE_QEMU mips64el)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
