# Link settings of wexlink.dll, included by lib/CMakeLists.txt on Windows.
# The module-definition file alone decides the exports: the functions carry no
# dllexport (which would export every name a second time), and neither
# --kill-at nor --add-stdcall-alias is used. The 32-bit DLL exports the
# decorated stdcall names; the 64-bit one the plain names, with the decorated
# ones as aliases.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_wexlink_def ${CMAKE_CURRENT_LIST_DIR}/wexlink-x64.def)
else()
  set(_wexlink_def ${CMAKE_CURRENT_LIST_DIR}/wexlink.def)
endif()
target_sources(wexlink PRIVATE ${_wexlink_def})
set_target_properties(wexlink PROPERTIES
  OUTPUT_NAME wexlink
  PREFIX ""
  LINK_DEPENDS ${_wexlink_def})

if(MINGW)
  # Only system DLLs among the imports: the GCC runtime goes into the DLL.
  target_link_options(wexlink PRIVATE -static-libgcc -static-libstdc++)
  # On 32-bit Windows doubles are computed with SSE2, not on the x87 unit,
  # whose precision follows the caller's control word: ChannelFrq then gives
  # the same exact double whoever calls it (it still returns in ST(0)). x64
  # uses SSE2 anyway.
  foreach(_t wexlink wexlink_core wexlink_platform)
    target_compile_options(${_t} PRIVATE -msse2 -mfpmath=sse)
  endforeach()
endif()
