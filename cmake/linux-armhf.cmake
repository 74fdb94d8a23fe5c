# 32-bit ARM Linux with hardware floating point (Debian armhf), built with
# Debian's cross compiler.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(COMSCAN_TRIPLET arm-linux-gnueabihf)
set(COMSCAN_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
