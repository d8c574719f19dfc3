# Cross build for Debian s390x, 64-bit and big-endian:
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake -DTOLVANE_BUILD_NOTIFY=OFF
# (g++-s390x-linux-gnu, qemu-user; see scripts/cross.sh).
set(TOLVANE_CROSS_TRIPLET s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
# No :s390x C library is installed: the cross toolchain's tree is the machine's.
set(TOLVANE_CROSS_RUNTIME /usr/s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
