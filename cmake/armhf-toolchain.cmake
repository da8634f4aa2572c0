# Cross build for 32-bit ARM Linux devices (armhf: ARMv7, hard-float EABI) with Debian's
# cross compiler (package g++-arm-linux-gnueabihf):
#
#   cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#
# Test programs built here run on the build machine through qemu-arm user emulation
# (package qemu-user) when it is installed; tests/armhf.sh builds and runs them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(WEBSRV_ARMHF_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${WEBSRV_ARMHF_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${WEBSRV_ARMHF_TRIPLE}-g++)

# The target's C library, headers and libraries as the cross compiler installs them.
set(WEBSRV_ARMHF_SYSROOT /usr/${WEBSRV_ARMHF_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${WEBSRV_ARMHF_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# 64-bit time_t as well as 64-bit file offsets (the build adds -D_FILE_OFFSET_BITS=64, which
# glibc requires for this one). With the C library's default 32-bit time_t the server fails to
# stat a file whose modification time lies past January 2038 (EOVERFLOW: the file would be
# answered 404), and its clock, the Date header and If-Modified-Since stop working at that
# date, well within a device's service life. No record of the plug-in interface holds a time_t;
# tdate_parse() returns one in r0:r1, whose low word is what a plug-in built with a 32-bit
# time_t reads, so such plug-ins still get every date up to 2038 right.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
# -Wno-psabi: no notes that the ARM calling convention for some C++ arguments changed in
# GCC 7.1; everything here is built by one compiler.
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -Wno-psabi")

# Lets CMake run target programs (GoogleTest's test discovery, add_test commands naming a
# target) under user-mode emulation, with the target's dynamic loader and libraries.
find_program(WEBSRV_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(WEBSRV_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WEBSRV_QEMU_ARM} -L ${WEBSRV_ARMHF_SYSROOT})
endif()
