add_library(focus_sanitizers INTERFACE)
if(FOCUS_SANITIZE)
  target_compile_options(focus_sanitizers INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                    -fno-sanitize-recover=undefined)
  target_link_options(focus_sanitizers INTERFACE -fsanitize=address,undefined)
endif()
