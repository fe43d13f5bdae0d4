# Cross build for 32-bit big-endian PowerPC Linux, run under qemu-ppc.
# The target's sysroot comes from QEMU_LD_PREFIX, as qemu-user itself takes it, or else is
# Debian's, where g++-powerpc-linux-gnu puts it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)
if(DEFINED ENV{QEMU_LD_PREFIX})
  set(HDX_PPC_SYSROOT $ENV{QEMU_LD_PREFIX})
else()
  set(HDX_PPC_SYSROOT /usr/powerpc-linux-gnu)
endif()
set(CMAKE_FIND_ROOT_PATH ${HDX_PPC_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc -L ${HDX_PPC_SYSROOT})
