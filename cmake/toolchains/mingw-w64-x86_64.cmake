# Cross-building for Windows x86-64 with Debian's mingw-w64 (the POSIX
# threading flavour, which std::thread and std::mutex need). Programs built
# here run on this machine under Wine, which CMake uses as the emulator for
# test discovery and CTest.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_ov_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_ov_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_ov_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_ov_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_ov_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc and libstdc++ are linked into each binary. winpthread is not: a
# process must hold one copy of it, because a thread that one copy started
# and a condition variable another copy set up do not meet reliably (waits
# were seen to miss their wake-up, and tests hung now and then). Its one
# DLL, libwinpthread-1.dll, is copied beside ours
# (cmake/OrvaProxyWindowsDeps.cmake).
set(_ov_static_runtime "-static-libgcc -static-libstdc++")
# A DLL without explicit exports exports everything it holds, the runtime's
# symbols included, and two such DLLs then clash in whoever links both: the
# runtime's archives are kept out of the exports.
set(_ov_runtime_not_exported "-Wl,--exclude-libs=libgcc.a:libgcc_eh.a:libstdc++.a")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_ov_static_runtime}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_ov_static_runtime} ${_ov_runtime_not_exported}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_ov_static_runtime} ${_ov_runtime_not_exported}")

find_program(OV_WINE NAMES wine64 wine)
if(OV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OV_WINE})
endif()
