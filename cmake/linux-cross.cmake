# The part every foreign Linux toolchain file shares; the file that includes
# it names COMSCAN_TRIPLET (the Debian cross compiler's prefix) and
# COMSCAN_QEMU (the emulator of that architecture).
set(CMAKE_SYSTEM_NAME Linux)
# C too: GoogleTest's own project enables it.
set(CMAKE_C_COMPILER ${COMSCAN_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${COMSCAN_TRIPLET}-g++)
# The C++ runtime linked in, so that a test needs nothing of its architecture
# at run time but the multiarch C library (libc6:ARCH), which the package
# build needs anyway. Never a cross sysroot's loader and libc.so.6 from two
# different glibc builds: such a mix spins in thread start under emulation.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libstdc++ -static-libgcc")
# The tests run under user-mode emulation, which needs no binfmt
# registration: the backports' qemu-user, which scripts/emulator.sh unpacks
# into build/emulator (this machine's own qemu-user cannot configure a port).
# Without it the build has no tests.
get_filename_component(COMSCAN_EMULATOR
  ${CMAKE_CURRENT_LIST_DIR}/../build/emulator/usr/bin/${COMSCAN_QEMU} ABSOLUTE)
if(EXISTS ${COMSCAN_EMULATOR})
  set(CMAKE_CROSSCOMPILING_EMULATOR ${COMSCAN_EMULATOR})
endif()
