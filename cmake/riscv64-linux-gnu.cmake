# Cross build for Debian riscv64, 64-bit RISC-V with the LP64D ABI:
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/riscv64-linux-gnu.cmake (see scripts/cross.sh).
set(TOLVANE_CROSS_TRIPLET riscv64-linux-gnu)
set(TOLVANE_DEBIAN_ARCH riscv64)
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(TOLVANE_QEMU riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
