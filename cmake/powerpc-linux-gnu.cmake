# Cross build for 32-bit big-endian PowerPC Linux, run under qemu-ppc.
# The target's sysroot comes from QEMU_LD_PREFIX, as qemu-user itself takes it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)
if(NOT DEFINED ENV{QEMU_LD_PREFIX})
  message(FATAL_ERROR "Set QEMU_LD_PREFIX to the PowerPC sysroot (the one qemu-ppc -L takes)")
endif()
set(CMAKE_FIND_ROOT_PATH $ENV{QEMU_LD_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc -L $ENV{QEMU_LD_PREFIX})
