# Compiler settings shared by every target of our own. Third-party sources
# (the Duktape amalgamation) do not call ov_target_defaults and so build
# without -Werror.

set(OV_SANITIZE "" CACHE STRING "Sanitizers to build with, e.g. address;undefined or thread")

if(OV_SANITIZE)
  list(JOIN OV_SANITIZE "," _ov_san)
  add_compile_options(-fsanitize=${_ov_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_ov_san})
endif()

if(WIN32)
  # Windows 10 interfaces (inet_pton, AF_UNIX, WinHTTP's proxy resolver), and
  # no min/max macros from <windows.h> in the way of std::min/std::max.
  add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 NOMINMAX)
endif()

function(ov_target_defaults target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor
                                           -Wno-missing-field-initializers)
endfunction()

# Every DLL of ours starts from OvDllEntry (platform/dllentry), which skips
# static destructors when the process is ending; elsewhere nothing changes.
function(ov_windows_dll target)
  if(WIN32)
    target_link_libraries(${target} PRIVATE ovdllentry)
    target_link_options(${target} PRIVATE -Wl,--entry,OvDllEntry)
  endif()
endfunction()
