# Shared part of the cross toolchain files: Debian's <triple>-gcc/g++ cross
# compilers, their sysroot in /usr/<triple>, and qemu-user to run what they
# build. Set VANTREL_CROSS_TRIPLE, CMAKE_SYSTEM_PROCESSOR and VANTREL_CROSS_QEMU
# before including this file.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${VANTREL_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VANTREL_CROSS_TRIPLE}-g++)

# Libraries, headers and CMake packages come from the target's sysroot only;
# build tools (qemu, sh) are the machine's own.
set(VANTREL_CROSS_SYSROOT /usr/${VANTREL_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${VANTREL_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and gtest_discover_tests run target binaries through qemu-user. The
# loader prefix goes in the environment rather than as -L: the test binaries
# inherit it, so a target program they start (the daemon, bslsh, a recorder)
# finds its libraries too when binfmt_misc hands it to qemu.
find_program(VANTREL_CROSS_QEMU_PATH ${VANTREL_CROSS_QEMU})
if(VANTREL_CROSS_QEMU_PATH)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /usr/bin/env;QEMU_LD_PREFIX=${VANTREL_CROSS_SYSROOT};${VANTREL_CROSS_QEMU_PATH})
else()
  message(STATUS "${VANTREL_CROSS_QEMU} not found: the target's tests cannot be run here")
endif()
