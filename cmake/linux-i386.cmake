# 32-bit x86 Linux: the data model of the release exe (32-bit pointers and
# LONG), built with Debian's i686 cross compiler, which lives beside the arm
# cross compilers where gcc-multilib cannot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
# C too: GoogleTest's own project enables it.
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
# Where the kernel runs 32-bit x86 code itself, the tests start directly, and
# so can the ones that run the program in the end-to-end harness (fault
# injection): CMake starts a cross build's tests through
# CMAKE_CROSSCOMPILING_EMULATOR, which is then env, and the build stays a
# cross build for the rest (no benchmark of this machine's own code).
# Elsewhere they run under user-mode emulation, which needs no binfmt
# registration: the backports' qemu-i386 when scripts/emulator.sh has
# unpacked it, else the system's.
execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/i386_probe.sh
                RESULT_VARIABLE COMSCAN_I386_PROBE ERROR_VARIABLE COMSCAN_I386_WHY)
if(COMSCAN_I386_PROBE EQUAL 0)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env)
  set(COMSCAN_RUNS_NATIVELY ON)
else()
  message(STATUS "${COMSCAN_I386_WHY}")
  find_program(COMSCAN_QEMU_I386 qemu-i386
               PATHS ${CMAKE_CURRENT_LIST_DIR}/../build/emulator/usr/bin NO_DEFAULT_PATH)
  find_program(COMSCAN_QEMU_I386 qemu-i386-static REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${COMSCAN_QEMU_I386})
endif()
