add_library(focus_warnings INTERFACE)
target_compile_options(focus_warnings INTERFACE -Wall -Wextra)
