# Cross build for aarch64-linux-gnu with Debian's cross compiler and multiarch packages
# (scripts/setup.sh --arm). Tests run under qemu-aarch64 through CTest.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# "/" as well: Debian's multiarch CMake package files live under /usr/lib/aarch64-linux-gnu.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Plain qemu-aarch64: with -L the host's and the target's C libraries get mixed and
# threaded dynamic programs crash.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64)
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config)
# GCC's notes about the ARM parameter-passing ABI change are not warnings about our code.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
