# The image layout's values from abi/tavik/image.h as CMake variables (TAVIK_LOAD_ADDRESS, TAVIK_PAGE_SIZE,
# TAVIK_COMMAND_SECTION, ...; strings without their quotes), and the linker script made from sdk/tavik.ld.in with
# them: the header is the one source of the layout.
set(_tavik_image_h "${CMAKE_CURRENT_LIST_DIR}/../abi/tavik/image.h")
file(STRINGS "${_tavik_image_h}" _tavik_image_defines REGEX "^#define TAVIK_[A-Z_]+ [^ ]+$")
foreach(_line IN LISTS _tavik_image_defines)
  string(REGEX REPLACE "^#define (TAVIK_[A-Z_]+) \"?([^\"]*)\"?$" "\\1;\\2" _pair "${_line}")
  list(GET _pair 0 _name)
  list(GET _pair 1 _value)
  set(${_name} "${_value}")
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_tavik_image_h}" "${CMAKE_CURRENT_LIST_DIR}/../sdk/tavik.ld.in")
set(TAVIK_LD "${CMAKE_BINARY_DIR}/tavik.ld")
set(TAVIK_CONSTRUCTOR_TABLES "")
set(TAVIK_REFUSED_TABLES "*(.init_array .init_array.* .fini_array .fini_array.*)")
configure_file("${CMAKE_CURRENT_LIST_DIR}/../sdk/tavik.ld.in" "${TAVIK_LD}" @ONLY)
# The address sanitizer's layout: the constructor table kept between two symbols; the destructors' table is
# data nothing runs (a tavik process ends with _exit).
set(TAVIK_ASAN_LD "${CMAKE_BINARY_DIR}/tavik-asan.ld")
set(TAVIK_CONSTRUCTOR_TABLES "__tavik_init_array_start = .;
    KEEP(*(SORT_BY_INIT_PRIORITY(.init_array.*)))
    KEEP(*(.init_array))
    __tavik_init_array_end = .;
    *(.fini_array .fini_array.*)")
set(TAVIK_REFUSED_TABLES "")
configure_file("${CMAKE_CURRENT_LIST_DIR}/../sdk/tavik.ld.in" "${TAVIK_ASAN_LD}" @ONLY)
