# The common part of the cross builds with Debian's cross compilers: set
# TOLVANE_CROSS_TRIPLET (the GNU triplet, which is also Debian's multiarch
# directory), TOLVANE_DEBIAN_ARCH, CMAKE_SYSTEM_PROCESSOR (as uname -m says
# it), TOLVANE_QEMU (qemu-user's name for the machine) and, if need be,
# TOLVANE_QEMU_OPTIONS (a list of qemu-user's options), then include this
# file. Headers and libraries come from a sysroot of Debian's packages for
# the machine (scripts/sysroot.sh), by default build/sysroot/ARCH of this
# tree; the tests run under qemu-user on that sysroot's loader.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${TOLVANE_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TOLVANE_CROSS_TRIPLET}-g++)

set(TOLVANE_SYSROOT "" CACHE PATH "Sysroot of the machine's Debian packages (scripts/sysroot.sh)")
# The compiler checks run in projects of their own, which see only these.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TOLVANE_SYSROOT)
if(TOLVANE_SYSROOT)
  set(CMAKE_SYSROOT ${TOLVANE_SYSROOT})
else()
  cmake_path(SET CMAKE_SYSROOT NORMALIZE ${CMAKE_CURRENT_LIST_DIR}/../build/sysroot/${TOLVANE_DEBIAN_ARCH})
endif()
if(NOT EXISTS ${CMAKE_SYSROOT}/usr/include/${TOLVANE_CROSS_TRIPLET})
  message(FATAL_ERROR "No ${TOLVANE_DEBIAN_ARCH} sysroot at ${CMAKE_SYSROOT}: "
                      "bash scripts/sysroot.sh ${TOLVANE_DEBIAN_ARCH} ${CMAKE_SYSROOT}")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The machine's own pkg-config is the one for any sysroot.
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${CMAKE_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR} ${CMAKE_SYSROOT}/usr/lib/${TOLVANE_CROSS_TRIPLET}/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig)
set(PKG_CONFIG_EXECUTABLE pkg-config CACHE FILEPATH "pkg-config, told where the sysroot is by the environment")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${TOLVANE_QEMU} ${TOLVANE_QEMU_OPTIONS} -L ${CMAKE_SYSROOT})
