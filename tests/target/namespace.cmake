# A valid program may use any name the library keeps to itself: namespace_test defines every internal name of
# the library's (found at build time from the library itself) as a variable of its own, links against the
# library as programs do, and reads them all back.
set(ns_source "${CMAKE_CURRENT_BINARY_DIR}/namespace_test.c")
add_custom_command(
  OUTPUT "${ns_source}"
  COMMAND ${CMAKE_COMMAND} -DNAMES=${TAVIK_LIBC_INTERNAL_NAMES} -DOUT=${ns_source}
          -P "${CMAKE_CURRENT_SOURCE_DIR}/scripts/namespace_source.cmake"
  DEPENDS "${TAVIK_LIBC_INTERNAL_NAMES}" "${CMAKE_CURRENT_SOURCE_DIR}/scripts/namespace_source.cmake" libc_public
  VERBATIM)
add_executable(namespace_test "${ns_source}")
tavik_link_image(namespace_test)
add_test(NAME target.namespace_test COMMAND ${TAVIK_RUN_COMMAND} $<TARGET_FILE:namespace_test>)
