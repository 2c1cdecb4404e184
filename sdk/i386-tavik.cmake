# i386-tavik: the toolchain for tavik commands, the host's gcc in 32-bit freestanding mode.
#
# Installed in an SDK (share/tavik/ of it), it also links every executable with the SDK's start-up code, its whole
# library and its linker script, and runs programs through the SDK's tavik-run:
#   cmake -DCMAKE_TOOLCHAIN_FILE=<sdk>/share/tavik/i386-tavik.cmake ...
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR i386)

find_program(TAVIK_HOST_GCC NAMES gcc REQUIRED)
find_program(TAVIK_HOST_GXX NAMES g++ REQUIRED)
set(CMAKE_C_COMPILER "${TAVIK_HOST_GCC}")
set(CMAKE_CXX_COMPILER "${TAVIK_HOST_GXX}")
set(CMAKE_ASM_COMPILER "${TAVIK_HOST_GCC}")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

execute_process(COMMAND "${TAVIK_HOST_GCC}" -m32 -print-file-name=include
                OUTPUT_VARIABLE _tavik_gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND "${TAVIK_HOST_GCC}" -m32 -print-libgcc-file-name
                OUTPUT_VARIABLE TAVIK_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
# The compiler's own C++ headers (those that work freestanding: <cstddef>, <new>, <type_traits>, ...), as the
# compiler lists them for 32-bit code; their configuration's part about the host's C library is left out.
execute_process(COMMAND "${TAVIK_HOST_GXX}" -m32 -xc++ -E -v - INPUT_FILE /dev/null
                OUTPUT_QUIET ERROR_VARIABLE _tavik_gxx_search)
string(REGEX MATCH "search starts here:\n(.*)End of search" _tavik_gxx_search "${_tavik_gxx_search}")
string(REPLACE "\n" ";" _tavik_gxx_search "${CMAKE_MATCH_1}")
set(_tavik_cxx_includes " -D_GLIBCXX_OS_DEFINES")
foreach(_dir IN LISTS _tavik_gxx_search)
  string(STRIP "${_dir}" _dir)
  if(_dir MATCHES "/c\\+\\+/")
    string(APPEND _tavik_cxx_includes " -isystem ${_dir}")
  endif()
endforeach()

# The flags of every tavik image, from image.flags beside this file (the SDK's share/tavik, or sdk/ in the tree).
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/image.flags" _tavik_image_flags REGEX "^[a-z+]+: ")
foreach(_line IN LISTS _tavik_image_flags)
  string(REGEX REPLACE "^([a-z+]+): (.*)$" "\\1" _key "${_line}")
  string(REGEX REPLACE "^([a-z+]+): (.*)$" "\\2" _value "${_line}")
  set(_tavik_${_key}_flags "${_value}")
endforeach()
set(CMAKE_C_FLAGS_INIT "${_tavik_compile_flags} -isystem ${_tavik_gcc_include}")
set(CMAKE_CXX_FLAGS_INIT "${_tavik_compile_flags}${_tavik_cxx_includes} -isystem ${_tavik_gcc_include} ${_tavik_c++_flags}")
set(CMAKE_ASM_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_tavik_link_flags}")

get_filename_component(_tavik_sdk "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
if(EXISTS "${_tavik_sdk}/lib/libc.a" AND EXISTS "${_tavik_sdk}/lib/tavik.ld")
  set(TAVIK_SDK "${_tavik_sdk}")
  # After the compiler's own headers, whose limits.h looks for the system's with #include_next.
  string(APPEND CMAKE_C_FLAGS_INIT " -isystem ${TAVIK_SDK}/include")
  # The SDK's C++ headers first: they stand in for the compiler's wrappers of a hosted C library.
  set(CMAKE_CXX_FLAGS_INIT "-isystem ${TAVIK_SDK}/include/c++ ${CMAKE_CXX_FLAGS_INIT} -isystem ${TAVIK_SDK}/include")
  # A build with debug information links the library's (the same code, with its lines and frames).
  set(_tavik_libc "${TAVIK_SDK}/lib/libc.a")
  if(CMAKE_BUILD_TYPE MATCHES "^(Debug|RelWithDebInfo)$" OR TAVIK_COVERAGE OR TAVIK_MEMCHECK
     OR CMAKE_C_FLAGS MATCHES "(^| )-g"
     OR CMAKE_CXX_FLAGS MATCHES "(^| )-g")
    set(_tavik_libc "${TAVIK_SDK}/lib/libc-g.a")
  endif()
  # The format checks of the library's printf engines (warnings under -Wformat, which -Wall turns on).
  if(EXISTS "${TAVIK_SDK}/lib/tavik-format.so")
    string(APPEND CMAKE_C_FLAGS_INIT " -fplugin=${TAVIK_SDK}/lib/tavik-format.so")
    string(APPEND CMAKE_CXX_FLAGS_INIT " -fplugin=${TAVIK_SDK}/lib/tavik-format.so")
  endif()
  # -DTAVIK_SANITIZE=address,undefined: the compiler's checks, reported by tavik-run through the SDK's runtimes.
  # The address sanitizer's runs the module constructors before main (they register the globals), in a layout
  # that keeps their table; C++ has no run-time type information, which the vptr check needs.
  set(TAVIK_SANITIZE "" CACHE STRING "The compiler's sanitizers for every program (address, undefined)")
  set(_tavik_sanitizer "")
  set(_tavik_layout "${TAVIK_SDK}/lib/tavik.ld")
  if(TAVIK_SANITIZE)
    string(APPEND CMAKE_C_FLAGS_INIT " -fsanitize=${TAVIK_SANITIZE}")
    string(APPEND CMAKE_CXX_FLAGS_INIT " -fsanitize=${TAVIK_SANITIZE}")
  endif()
  if(TAVIK_SANITIZE MATCHES "address")
    set(_tavik_layout "${TAVIK_SDK}/lib/tavik-asan.ld")
    string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--wrap=main")
    string(APPEND _tavik_sanitizer " ${TAVIK_SDK}/lib/libtavik-asan.a")
  endif()
  if(TAVIK_SANITIZE AND NOT TAVIK_SANITIZE STREQUAL "address")
    string(APPEND CMAKE_CXX_FLAGS_INIT " -fno-sanitize=vptr")
    string(APPEND _tavik_sanitizer " ${TAVIK_SDK}/lib/libtavik-ubsan.a")
  endif()
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,-T,${_tavik_layout}")
  set(_tavik_libs
      "${TAVIK_SDK}/lib/crt0.o -Wl,--whole-archive ${_tavik_libc} -Wl,--no-whole-archive ${_tavik_sanitizer} ${TAVIK_LIBGCC}")
  set(CMAKE_C_STANDARD_LIBRARIES "${_tavik_libs}")
  set(CMAKE_CXX_STANDARD_LIBRARIES "${_tavik_libs} ${TAVIK_SDK}/lib/libtavikcxx.a")
  if(EXISTS "${TAVIK_SDK}/bin/tavik-run")
    set(CMAKE_CROSSCOMPILING_EMULATOR "${TAVIK_SDK}/bin/tavik-run")
  endif()
endif()

# -DTAVIK_MEMCHECK=ON: every run through the emulator (ctest's tests) is checked for memory errors, and one that
# finds any fails (status 99). Programs are built with debug information, for the reports' lines.
option(TAVIK_MEMCHECK "Check every run under tavik-run for memory errors" OFF)
if(TAVIK_MEMCHECK AND CMAKE_CROSSCOMPILING_EMULATOR)
  string(APPEND CMAKE_C_FLAGS_INIT " -g")
  string(APPEND CMAKE_CXX_FLAGS_INIT " -g")
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CROSSCOMPILING_EMULATOR};--memcheck;--error-exitcode;99")
endif()

# -DTAVIK_COVERAGE=ON: every program is built with debug information, every run through the emulator (ctest's
# tests) appends its executed lines to <build>/tavik-coverage.info, and the target coverage-html renders them
# with genhtml into <build>/coverage/index.html.
option(TAVIK_COVERAGE "Record line coverage of every run under tavik-run" OFF)
if(TAVIK_COVERAGE AND CMAKE_CROSSCOMPILING_EMULATOR)
  string(APPEND CMAKE_C_FLAGS_INIT " -g")
  string(APPEND CMAKE_CXX_FLAGS_INIT " -g")
  set(TAVIK_COVERAGE_FILE "${CMAKE_BINARY_DIR}/tavik-coverage.info")
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CROSSCOMPILING_EMULATOR};--coverage;${TAVIK_COVERAGE_FILE}")
  function(_tavik_coverage_targets)
    if(TARGET coverage-html)
      return()
    endif()
    find_program(TAVIK_GENHTML genhtml REQUIRED)
    add_custom_target(coverage-html
      COMMAND "${TAVIK_GENHTML}" --quiet -o "${CMAKE_BINARY_DIR}/coverage" "${TAVIK_COVERAGE_FILE}"
      COMMENT "coverage report: ${CMAKE_BINARY_DIR}/coverage/index.html"
      VERBATIM)
    add_custom_target(coverage-reset COMMAND "${CMAKE_COMMAND}" -E rm -f "${TAVIK_COVERAGE_FILE}" VERBATIM)
  endfunction()
  get_property(_tavik_deferred GLOBAL PROPERTY TAVIK_COVERAGE_DEFERRED)
  if(NOT _tavik_deferred)
    set_property(GLOBAL PROPERTY TAVIK_COVERAGE_DEFERRED TRUE)
    cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL _tavik_coverage_targets)
  endif()
endif()
