# The common part of the cross builds with Debian's cross toolchains: set
# TOLVANE_CROSS_TRIPLET, CMAKE_SYSTEM_PROCESSOR and TOLVANE_CROSS_RUNTIME
# (the root under which qemu-user finds the machine's loader and C library),
# then include this file. The tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${TOLVANE_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TOLVANE_CROSS_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${TOLVANE_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(PKG_CONFIG_EXECUTABLE ${TOLVANE_CROSS_TRIPLET}-pkg-config CACHE FILEPATH "pkg-config for the target machine")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_SYSTEM_PROCESSOR};-L;${TOLVANE_CROSS_RUNTIME})
