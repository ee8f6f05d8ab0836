find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
  # Paths relative to the checkout's parent, so several checkouts share one cache.
  get_filename_component(FOCUS_CCACHE_BASE "${CMAKE_SOURCE_DIR}/.." ABSOLUTE)
  set(launcher ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${FOCUS_CCACHE_BASE} ${CCACHE_PROGRAM})
  set(CMAKE_C_COMPILER_LAUNCHER ${launcher})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${launcher})
endif()
