# Wire messages are written once as .proto files; the nanopb generator makes their structs and
# field tables at build time, into the build tree, as a static library of their own, so the SDK
# and the local service encode and decode with the same tables.
#   focus_nanopb_library(<target> <proto>...)
# Each .proto is given by its path in the source tree; the .options file beside it, when there is
# one, sets callbacks, sizes and types. Sources include "<same path>.pb.h".
function(focus_nanopb_library target)
  set(sources)
  foreach(proto ${ARGN})
    get_filename_component(name ${proto} NAME_WE)
    get_filename_component(folder ${proto} DIRECTORY)
    set(output ${CMAKE_BINARY_DIR}/generated/${folder})
    set(inputs ${CMAKE_SOURCE_DIR}/${proto})
    if(EXISTS ${CMAKE_SOURCE_DIR}/${folder}/${name}.options)
      list(APPEND inputs ${CMAKE_SOURCE_DIR}/${folder}/${name}.options)
    endif()
    add_custom_command(
      OUTPUT ${output}/${name}.pb.c ${output}/${name}.pb.h
      COMMAND ${CMAKE_COMMAND} -E make_directory ${output}
      COMMAND ${NANOPB_GENERATOR} --quiet --output-dir=${output} ${name}.proto
      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/${folder}
      DEPENDS ${inputs}
      COMMENT "Generating the nanopb tables of ${proto}"
      VERBATIM)
    list(APPEND sources ${output}/${name}.pb.c)
  endforeach()
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${CMAKE_BINARY_DIR}/generated)
  target_link_libraries(${target} PUBLIC nanopb PRIVATE focus_warnings focus_sanitizers)
endfunction()
