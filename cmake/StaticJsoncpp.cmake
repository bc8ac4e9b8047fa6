# jsoncpp as a static library built for the target from Debian's own source
# package: Debian ships no libjsoncpp.a for armhf/arm64, and the gateway's
# service must not depend on the box's C++ libraries. The source is unpacked
# by scripts/fetch-jsoncpp-src.sh (run by scripts/setup.sh --arm, or here).
set(JSONCPP_SOURCE_DIR "${CMAKE_SOURCE_DIR}/.deps/jsoncpp-src" CACHE PATH
    "Unpacked jsoncpp source package for the static build")
if(NOT EXISTS "${JSONCPP_SOURCE_DIR}/CMakeLists.txt")
  message(STATUS "jsoncpp source not found in ${JSONCPP_SOURCE_DIR}: fetching Debian's source package")
  execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/fetch-jsoncpp-src.sh "${JSONCPP_SOURCE_DIR}"
                  RESULT_VARIABLE fetch_rc)
  if(NOT fetch_rc EQUAL 0)
    message(FATAL_ERROR "Could not unpack jsoncpp's source package (scripts/fetch-jsoncpp-src.sh); "
                        "pass -DJSONCPP_SOURCE_DIR=<unpacked jsoncpp source>")
  endif()
endif()

set(BUILD_SHARED_LIBS OFF CACHE BOOL "" FORCE)
set(BUILD_STATIC_LIBS ON CACHE BOOL "" FORCE)
set(BUILD_OBJECT_LIBS OFF CACHE BOOL "" FORCE)
set(JSONCPP_WITH_TESTS OFF CACHE BOOL "" FORCE)
set(JSONCPP_WITH_POST_BUILD_UNITTEST OFF CACHE BOOL "" FORCE)
set(JSONCPP_WITH_PKGCONFIG_SUPPORT OFF CACHE BOOL "" FORCE)
set(JSONCPP_WITH_CMAKE_PACKAGE OFF CACHE BOOL "" FORCE)
set(JSONCPP_WITH_EXAMPLE OFF CACHE BOOL "" FORCE)
add_subdirectory(${JSONCPP_SOURCE_DIR} ${CMAKE_BINARY_DIR}/jsoncpp EXCLUDE_FROM_ALL)
if(NOT TARGET jsoncpp_static)
  message(FATAL_ERROR "jsoncpp's source did not define jsoncpp_static")
endif()
