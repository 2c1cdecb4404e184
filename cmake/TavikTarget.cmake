# Target build helpers: every executable is linked as a tavik image, with crt0 first, the whole library, the
# compiler's 32-bit support library (for 64-bit division) and the linker script.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
include(${CMAKE_CURRENT_LIST_DIR}/TavikImage.cmake)
if(NOT TAVIK_SDK_DIR)
  set(TAVIK_SDK_DIR "${CMAKE_BINARY_DIR}/sdk")
endif()
if(NOT TAVIK_ROOT_DIR)
  set(TAVIK_ROOT_DIR "${CMAKE_BINARY_DIR}/root")
endif()
if(TAVIK_RUN)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${TAVIK_RUN}")
endif()
add_compile_options(-O2 -Wall -Wextra)

# How the target tests run: tavik-run, and with -DTAVIK_COVERAGE=ON (every program built with debug information,
# which changes no code) each run appends its executed lines to TAVIK_COVERAGE_FILE (scripts/library-coverage).
set(TAVIK_RUN_COMMAND "${TAVIK_RUN}")
if(TAVIK_MEMCHECK)
  list(APPEND TAVIK_RUN_COMMAND --memcheck --error-exitcode 99)
endif()
if(TAVIK_COVERAGE)
  add_compile_options(-g)
  set(TAVIK_COVERAGE_FILE "${CMAKE_BINARY_DIR}/tavik-coverage.info")
  list(APPEND TAVIK_RUN_COMMAND --coverage "${TAVIK_COVERAGE_FILE}")
endif()

# Links name as a tavik image. WITH_INTERNALS: against the library's objects as they are, for the library's own
# tests that look at its internal state (g_heap_used, ...); a program sees only the public entry points.
# WITH_DEBUG_LIBC: against the library with its debug information, as a -g build of the drivers links it.
# WITH_ADDRESS_SANITIZER: with the address sanitizer's runtime and layout, as the drivers link -fsanitize=address.
function(tavik_link_image name)
  if("WITH_INTERNALS" IN_LIST ARGN)
    set(libc c)
  elseif("WITH_DEBUG_LIBC" IN_LIST ARGN)
    set(libc "${TAVIK_LIBC_DEBUG}")
    add_dependencies(${name} libc_public_debug)
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS "${TAVIK_LIBC_DEBUG}")
  else()
    set(libc "${TAVIK_LIBC}")
    add_dependencies(${name} libc_public)
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS "${TAVIK_LIBC}")
  endif()
  target_link_libraries(${name} PRIVATE crt0 -Wl,--whole-archive ${libc} -Wl,--no-whole-archive tavikcxx
                        "${TAVIK_LIBGCC}")
  set(layout "${TAVIK_LD}")
  # Code built with -fsanitize=address: its runtime, which runs the module constructors before main.
  if("WITH_ADDRESS_SANITIZER" IN_LIST ARGN)
    set(layout "${TAVIK_ASAN_LD}")
    target_link_libraries(${name} PRIVATE tavik_asan)
    target_link_options(${name} PRIVATE "-Wl,--wrap=main")
  endif()
  target_link_options(${name} PRIVATE "-Wl,-T,${layout}")
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS "${layout}")
  target_include_directories(${name} SYSTEM PRIVATE "${CMAKE_SOURCE_DIR}/libc/include" "${CMAKE_SOURCE_DIR}/abi")
endfunction()

# A command of the tavik root file system, staged in root/bin.
function(tavik_add_command name)
  add_executable(${name} ${ARGN})
  tavik_link_image(${name})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${TAVIK_ROOT_DIR}/bin")
endfunction()
