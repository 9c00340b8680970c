# Cross build for 32-bit big-endian PowerPC Linux with Debian's cross compiler. Test programs
# run under user-mode emulation against the cross sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(TARGET_TRIPLE powerpc-linux-gnu)
set(TARGET_SYSROOT /usr/${TARGET_TRIPLE} CACHE PATH "Libraries and loader of the target")

set(CMAKE_C_COMPILER ${TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TARGET_TRIPLE}-g++)

# Headers, libraries and packages come from the sysroot and from the prefix that holds the
# cross-built GoogleTest (GTEST_TARGET_PREFIX); programs from the host.
set(GTEST_TARGET_PREFIX "" CACHE PATH "Install prefix of GoogleTest built for the target")
set(CMAKE_FIND_ROOT_PATH ${TARGET_SYSROOT} ${GTEST_TARGET_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest and test discovery run target binaries through the emulator. The environment tells the
# emulator where the target's loader is, tells the test harness how to start the programs
# under test, and points locale lookups at locales built for the target's byte order (the
# host's compiled locales cannot be read there).
find_program(TARGET_EMULATOR qemu-ppc REQUIRED)
set(TARGET_LOCALE_DIR "" CACHE PATH "Compiled locales in the target's byte order")
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env QEMU_LD_PREFIX=${TARGET_SYSROOT}
    HARNESS_EMULATOR=${TARGET_EMULATOR})
if(TARGET_LOCALE_DIR)
  list(APPEND CMAKE_CROSSCOMPILING_EMULATOR LOCPATH=${TARGET_LOCALE_DIR})
endif()
list(APPEND CMAKE_CROSSCOMPILING_EMULATOR ${TARGET_EMULATOR})
