# Libraries the Windows build compiles from Debian's sources, since Debian
# ships them for Linux only. scripts/install-deps.sh unpacks them into
# OV_DEPS_SOURCE_DIR. They keep the target names the Linux build gets from
# pkg-config, so the rest of the tree links them the same way.

# Every program and DLL in one folder, so that Wine (and Windows) finds the
# DLLs beside the programs that load them.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib)

# The threads runtime every binary shares (see the toolchain file).
find_file(OV_WINPTHREAD_DLL libwinpthread-1.dll
  PATHS /usr/${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32/lib
  NO_DEFAULT_PATH)
if(NOT OV_WINPTHREAD_DLL)
  message(FATAL_ERROR "libwinpthread-1.dll not found: install g++-mingw-w64-x86-64-posix")
endif()
file(COPY ${OV_WINPTHREAD_DLL} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
install(FILES ${OV_WINPTHREAD_DLL} DESTINATION ${CMAKE_INSTALL_BINDIR})

set(OV_DEPS_SOURCE_DIR "${PROJECT_SOURCE_DIR}/build/deps" CACHE PATH
    "Folder holding the unpacked Debian source packages of the Windows build")

file(GLOB _ov_jsoncpp_dirs LIST_DIRECTORIES true "${OV_DEPS_SOURCE_DIR}/libjsoncpp-*")
list(FILTER _ov_jsoncpp_dirs EXCLUDE REGEX "\\.(tar|dsc)")
if(NOT _ov_jsoncpp_dirs)
  message(FATAL_ERROR "jsoncpp source not found in ${OV_DEPS_SOURCE_DIR}: run scripts/install-deps.sh")
endif()
list(GET _ov_jsoncpp_dirs 0 _ov_jsoncpp_dir)

set(JSONCPP_WITH_TESTS OFF CACHE BOOL "" FORCE)
set(JSONCPP_WITH_POST_BUILD_UNITTEST OFF CACHE BOOL "" FORCE)
set(JSONCPP_WITH_PKGCONFIG_SUPPORT OFF CACHE BOOL "" FORCE)
set(JSONCPP_WITH_CMAKE_PACKAGE OFF CACHE BOOL "" FORCE)
set(JSONCPP_WITH_EXAMPLE OFF CACHE BOOL "" FORCE)
set(BUILD_SHARED_LIBS OFF CACHE BOOL "" FORCE)
set(BUILD_STATIC_LIBS ON CACHE BOOL "" FORCE)
set(BUILD_OBJECT_LIBS OFF CACHE BOOL "" FORCE)
add_subdirectory(${_ov_jsoncpp_dir} ${PROJECT_BINARY_DIR}/deps/jsoncpp EXCLUDE_FROM_ALL)
set_target_properties(jsoncpp_static PROPERTIES POSITION_INDEPENDENT_CODE ON)
add_library(PkgConfig::JSONCPP ALIAS jsoncpp_static)

# cpp-httplib, the tests' local HTTP server: its single header, used as a
# header-only library on Windows (Debian's Linux package splits it into a
# shared library).
file(GLOB _ov_httplib_dirs LIST_DIRECTORIES true "${OV_DEPS_SOURCE_DIR}/cpp-httplib-*")
list(FILTER _ov_httplib_dirs EXCLUDE REGEX "\\.(tar|dsc)")
if(_ov_httplib_dirs)
  list(GET _ov_httplib_dirs 0 _ov_httplib_dir)
  add_library(ov_httplib INTERFACE)
  target_include_directories(ov_httplib SYSTEM INTERFACE ${_ov_httplib_dir})
  target_link_libraries(ov_httplib INTERFACE ws2_32)
  add_library(PkgConfig::HTTPLIB ALIAS ov_httplib)
endif()
