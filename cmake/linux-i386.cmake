# 32-bit x86 Linux: the data model of the release exe (32-bit pointers and
# LONG), built on a 64-bit host and run under user-mode emulation, which needs
# no binfmt registration.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
# C too: GoogleTest's own project enables it.
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
find_program(COMSCAN_QEMU_I386 qemu-i386-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${COMSCAN_QEMU_I386})
