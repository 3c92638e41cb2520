# Cross build for 64-bit ARM with Debian's g++-aarch64-linux-gnu; the tests
# run under qemu-aarch64-static, which finds the target's libraries (and its
# dynamic loader) under the cross toolchain's root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_STRIP aarch64-linux-gnu-strip)

set(QUARVO_CROSS_ROOT /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${QUARVO_CROSS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(QUARVO_QEMU qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUARVO_QEMU} -L ${QUARVO_CROSS_ROOT})
