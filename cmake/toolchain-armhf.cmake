# The panel's processor: 32-bit ARM, hard-float (Debian armhf).
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
# Needs g++-arm-linux-gnueabihf; qemu-user to run the tests.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(VANTREL_CROSS_TRIPLE arm-linux-gnueabihf)
set(VANTREL_CROSS_QEMU qemu-arm)
# GCC notes on ARM that the passing of some std::vector iterators changed in
# GCC 7.1; every object here comes from the one compiler, so it is only noise.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
