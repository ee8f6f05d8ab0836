add_library(focus_warnings INTERFACE)
target_compile_options(focus_warnings INTERFACE -Wall -Wextra)
# When optimising, g++ 12 reports -Wrestrict on ordinary std::string appends, and
# -Wmaybe-uninitialized / -Wstringop-overflow inside std::variant and std::vector moves (known false
# positives of that version's inliner).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(focus_warnings INTERFACE -Wno-restrict
    $<$<NOT:$<CONFIG:Debug>>:-Wno-maybe-uninitialized -Wno-stringop-overflow>)
endif()
# Lock rules written with the macros of platform/foundation/thread_safety.h are checked by clang.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  target_compile_options(focus_warnings INTERFACE -Wthread-safety)
endif()
