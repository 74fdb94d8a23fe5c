# 64-bit ARM Linux (Debian arm64), built with Debian's cross compiler.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(COMSCAN_TRIPLET aarch64-linux-gnu)
set(COMSCAN_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
