# Cross build for arm-linux-gnueabihf with Debian's cross compiler and multiarch packages
# (scripts/setup.sh --arm). Tests run under qemu-arm through CTest.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# "/" as well: Debian's multiarch CMake package files live under /usr/lib/arm-linux-gnueabihf.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Plain qemu-arm: with -L the host's and the target's C libraries get mixed and
# threaded dynamic programs crash.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm)
set(PKG_CONFIG_EXECUTABLE arm-linux-gnueabihf-pkg-config)
# GCC's notes about the ARM parameter-passing ABI change are not warnings about our code.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
