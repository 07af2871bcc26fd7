# WEXLINK_SANITIZE=address  -> AddressSanitizer with UndefinedBehaviorSanitizer
#                              (LeakSanitizer included on Linux x86_64)
# WEXLINK_SANITIZE=thread   -> ThreadSanitizer
# scripts/sanitize builds and runs the tests under each; it sets the run-time
# options (halt on the first error, leak detection, deadlock stacks).
set(WEXLINK_SANITIZE "" CACHE STRING "Sanitizer build: address or thread")
if(WEXLINK_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(WEXLINK_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT WEXLINK_SANITIZE STREQUAL "")
  message(FATAL_ERROR "Unknown WEXLINK_SANITIZE value: ${WEXLINK_SANITIZE}")
endif()
