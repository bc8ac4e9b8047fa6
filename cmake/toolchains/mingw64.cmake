# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix threads model,
# needed by std::thread and by mbedTLS's pthread locking in libssh).
# scripts/build-windows.sh builds Qt, mbedTLS and libssh for the target into a
# deps directory; pass it as WIN64_DEPS (cache variable or environment).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT WIN64_DEPS AND DEFINED ENV{WIN64_DEPS})
  set(WIN64_DEPS "$ENV{WIN64_DEPS}")
endif()
set(WIN64_DEPS "${WIN64_DEPS}" CACHE PATH "Prefix root of the Windows dependencies (Qt in qt5/, the rest in prefix/)")
# try_compile projects see only the environment, so pass the variable on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WIN64_DEPS)

# Without the Qt prefix in the root path, find_package(Qt5) fails in ONLY mode.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
if(WIN64_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH "${WIN64_DEPS}/prefix" "${WIN64_DEPS}/qt5")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run under Debian's wine (command `wine`; the 64-bit loader is found by it).
find_program(WINE_EXECUTABLE wine)
if(WINE_EXECUTABLE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${WINE_EXECUTABLE}")
endif()
