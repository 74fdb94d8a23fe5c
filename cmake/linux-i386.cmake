# 32-bit x86 Linux: the data model of the release exe (32-bit pointers and
# LONG), built with Debian's i686 cross compiler, which lives beside the arm
# cross compilers where gcc-multilib cannot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
# C too: GoogleTest's own project enables it.
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
# Run under user-mode emulation, which needs no binfmt registration.
find_program(COMSCAN_QEMU_I386 qemu-i386-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${COMSCAN_QEMU_I386})
