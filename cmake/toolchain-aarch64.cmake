# 64-bit ARM (Debian arm64): the same sources on the other ARM word size.
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64.cmake
# Needs g++-aarch64-linux-gnu; qemu-user to run the tests.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VANTREL_CROSS_TRIPLE aarch64-linux-gnu)
set(VANTREL_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
