# Cross build for Debian arm64: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# (crossbuild-essential-arm64, the :arm64 libraries, qemu-user; see scripts/cross.sh).
set(TOLVANE_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
# The :arm64 libraries bring Debian's libc6:arm64, and the programs run on
# it with its own loader. The cross toolchain's tree (/usr/aarch64-linux-gnu)
# holds an older build of the same C library: its loader with that libc
# hangs in the first pthread_create.
set(TOLVANE_CROSS_RUNTIME /)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
