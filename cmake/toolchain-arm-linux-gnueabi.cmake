# Cross build for arm-linux-gnueabi (Debian's armel) with Debian's cross
# compiler (g++-arm-linux-gnueabi). Its code is for ARMv5TE with software
# floating point, so it also runs on the ARMv6 of the Raspberry Pi 1 and Zero,
# where armhf code (ARMv7 and later) dies with an illegal instruction.
# Programs built here run on this machine through qemu-arm-static, which the
# build uses for the tools it runs itself; the libraries come from the
# cross compiler's own tree, /usr/arm-linux-gnueabi.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -cpu arm1176 -L /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
