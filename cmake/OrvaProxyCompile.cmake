# Compiler settings shared by every target of our own. Third-party sources
# (the Duktape amalgamation) do not call ov_target_defaults and so build
# without -Werror.

set(OV_SANITIZE "" CACHE STRING "Sanitizers to build with, e.g. address;undefined or thread")

if(OV_SANITIZE)
  list(JOIN OV_SANITIZE "," _ov_san)
  add_compile_options(-fsanitize=${_ov_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_ov_san})
endif()

function(ov_target_defaults target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor
                                           -Wno-missing-field-initializers)
endfunction()
