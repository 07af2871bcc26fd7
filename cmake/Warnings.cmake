# Warnings on for the project's own targets: wexlink_warnings(<target>).
function(wexlink_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
      $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast>
      -Wconversion -Wno-sign-conversion)
    if(WEXLINK_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()
option(WEXLINK_WERROR "Treat warnings as errors" OFF)
