# Builds tests/sdk with the staged SDK, twice (the CMake toolchain file and the tavik-cc driver), and runs the
# results under the SDK's tavik-run. Called as a CTest test with -DSDK= -DSRC= -DWORK=.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

function(run_checked)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
endfunction()

function(expect_run expected_status expected_out)
  execute_process(COMMAND "${SDK}/bin/tavik-run" ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL expected_status OR NOT out STREQUAL expected_out)
    message(FATAL_ERROR "tavik-run ${ARGN}: status ${rc}, output '${out}' (want ${expected_status}, '${expected_out}')\n${err}")
  endif()
endfunction()

run_checked("${CMAKE_COMMAND}" -S "${SRC}" -B "${WORK}/cmake"
            "-DCMAKE_TOOLCHAIN_FILE=${SDK}/share/tavik/i386-tavik.cmake")
run_checked("${CMAKE_COMMAND}" --build "${WORK}/cmake")
expect_run(3 "own: argc=2\n" "${WORK}/cmake/own_c" 3)
expect_run(0 "own: c++\n" "${WORK}/cmake/own_cxx")
run_checked(ctest --test-dir "${WORK}/cmake" -R own_c)

run_checked("${SDK}/bin/tavik-cc" -O2 "${SRC}/own.c" -o "${WORK}/own_cc")
run_checked("${SDK}/bin/tavik-c++" -c "${SRC}/own.cpp" -o "${WORK}/own.o")
run_checked("${SDK}/bin/tavik-c++" "${WORK}/own.o" -o "${WORK}/own_cxx_driver")
expect_run(5 "own: argc=2\n" "${WORK}/own_cc" 5)
# A failed assertion ends the program as abort does, and tavik-run says which, where.
execute_process(COMMAND "${SDK}/bin/tavik-run" "${WORK}/own_cc" assert RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 1 OR NOT err MATCHES "^tavik: own_cc: assertion failed: argc == 99 \\([^\n]*own\\.c:[0-9]+, in main\\)\n")
  message(FATAL_ERROR "a failed assertion: status ${rc}\n${err}")
endif()
expect_run(0 "own: c++\n" "${WORK}/own_cxx_driver")
# A program built with -g links the library with its debug information: a fault inside memset has its line.
run_checked("${SDK}/bin/tavik-c++" -g -O2 "${SRC}/lib_fault.cpp" -o "${WORK}/lib_fault")
execute_process(COMMAND "${SDK}/bin/tavik-run" "${WORK}/lib_fault" RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc MATCHES "^(139|Segmentation fault)$" OR NOT err MATCHES "\n  source: string\\.cpp:[0-9]+\n"
   OR NOT err MATCHES "\n    #0 0x[0-9a-f]+ in memset \\(string\\.cpp:[0-9]+\\)\n    #1 0x[0-9a-f]+ in main \\(lib_fault\\.cpp:8\\)\n")
  message(FATAL_ERROR "a fault inside the library: status ${rc}\n${err}")
endif()
# The format checks: both drivers warn where the engines differ from what the program seems to expect.
set(ENV{LC_ALL} C)  # the compiler's plain quotes
foreach(driver tavik-cc tavik-c++)
  set(language "")
  if(driver STREQUAL "tavik-c++")
    set(language -x c++)
  endif()
  execute_process(COMMAND "${SDK}/bin/${driver}" -Wall ${language} -c "${SRC}/formats.c" -o "${WORK}/formats.o"
                  RESULT_VARIABLE rc ERROR_VARIABLE err)
  foreach(expected "takes a 32-bit integer, but argument 2 has type .double." "the stream printf takes no flags"
                   "the stream printf has no %X" "0xFF sequence" "pads nothing in the buffer formatter"
                   "takes one 32-bit word for .%lld." "does not know .%f.")
    if(NOT rc EQUAL 0 OR NOT err MATCHES "${expected}")
      message(FATAL_ERROR "${driver}: no warning '${expected}' (status ${rc}):\n${err}")
    endif()
  endforeach()
  run_checked("${SDK}/bin/${driver}" -Wall -Werror ${language} -c "${SRC}/formats_ok.c" -o "${WORK}/formats_ok.o")
endforeach()
# The records the macros laid out are what the system's tools expect.
foreach(image "${WORK}/cmake/own_c" "${WORK}/cmake/own_cxx" "${WORK}/own_cc" "${WORK}/own_cxx_driver")
  run_checked("${SDK}/bin/tavik-meta" --check "${image}")
endforeach()

# The coverage switch: the tests' runs add to one tracefile, and one target renders it.
run_checked("${CMAKE_COMMAND}" -S "${SRC}" -B "${WORK}/coverage" "-DCMAKE_TOOLCHAIN_FILE=${SDK}/share/tavik/i386-tavik.cmake"
            -DTAVIK_COVERAGE=ON)
run_checked("${CMAKE_COMMAND}" --build "${WORK}/coverage")
run_checked(ctest --test-dir "${WORK}/coverage")
run_checked("${CMAKE_COMMAND}" --build "${WORK}/coverage" --target coverage-html)
file(READ "${WORK}/coverage/tavik-coverage.info" info)
if(NOT info MATCHES "SF:[^\n]*own\\.c\n" OR NOT EXISTS "${WORK}/coverage/coverage/index.html")
  message(FATAL_ERROR "no coverage of own.c:\n${info}")
endif()

# The memcheck switch: the consumer's tests run checked, and pass (the consumer's programs are correct).
run_checked("${CMAKE_COMMAND}" -S "${SRC}" -B "${WORK}/memcheck" "-DCMAKE_TOOLCHAIN_FILE=${SDK}/share/tavik/i386-tavik.cmake"
            -DTAVIK_MEMCHECK=ON)
run_checked("${CMAKE_COMMAND}" --build "${WORK}/memcheck")
run_checked(ctest --test-dir "${WORK}/memcheck" --output-on-failure)

# The sanitizers: both drivers build with the compiler's checks, undefined behaviour and address, which tavik-run
# reports (an address error ends the run with status 1).
file(WRITE "${WORK}/ub.c" "int main(int argc, char **argv) { volatile int big = 2147483647; volatile int r = big + argc;
  (void)argv; (void)r; return 0; }\n")
file(WRITE "${WORK}/asan.c" "#include <stdlib.h>
static int g_table[4];
int main(int argc, char **argv) { char *p = (char *)malloc(6); p[argc + 5] = 1; (void)argv; return g_table[argc]; }\n")
foreach(driver tavik-cc tavik-c++)
  set(language)
  if(driver STREQUAL "tavik-c++")
    set(language -xc++)
  endif()
  run_checked("${SDK}/bin/${driver}" -O1 -fsanitize=undefined ${language} "${WORK}/ub.c" -xnone -o "${WORK}/ub_${driver}")
  execute_process(COMMAND "${SDK}/bin/tavik-run" "${WORK}/ub_${driver}" RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT err MATCHES "ub.c:1:[0-9]+: runtime error: signed integer overflow")
    message(FATAL_ERROR "${driver} -fsanitize=undefined: no report (status ${rc}):\n${err}")
  endif()
  run_checked("${SDK}/bin/${driver}" -g -fsanitize=address,undefined ${language} "${WORK}/asan.c" -xnone
              -o "${WORK}/asan_${driver}")
  execute_process(COMMAND "${SDK}/bin/tavik-run" "${WORK}/asan_${driver}" RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 1 OR NOT err MATCHES "AddressSanitizer: heap-buffer-overflow.*main .asan.c:3.*0 bytes after 6-byte region")
    message(FATAL_ERROR "${driver} -fsanitize=address: no report (status ${rc}):\n${err}")
  endif()
endforeach()
# The toolchain file's switch: the consumer builds with the checks and its tests pass (its programs are correct).
run_checked("${CMAKE_COMMAND}" -S "${SRC}" -B "${WORK}/sanitize" "-DCMAKE_TOOLCHAIN_FILE=${SDK}/share/tavik/i386-tavik.cmake"
            "-DTAVIK_SANITIZE=address,undefined")
run_checked("${CMAKE_COMMAND}" --build "${WORK}/sanitize")
run_checked(ctest --test-dir "${WORK}/sanitize" --output-on-failure)
