add_library(focus_sanitizers INTERFACE)
if(FOCUS_SANITIZE)
  target_compile_options(focus_sanitizers INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                    -fno-sanitize-recover=undefined)
  target_link_options(focus_sanitizers INTERFACE -fsanitize=address,undefined)
endif()
if(FOCUS_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "FOCUS_FUZZ needs clang (libFuzzer)")
  endif()
  # Every library is instrumented for coverage; only the fuzz executables link libFuzzer's main.
  target_compile_options(focus_sanitizers INTERFACE -fsanitize=fuzzer-no-link)
endif()
