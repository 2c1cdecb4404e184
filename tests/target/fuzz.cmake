# The guest of the library's fuzzing (fuzz_guest.cpp), and its regression inputs replayed as one test: each file
# in fuzz_regress/ goes once through the guest, under the instruction limit the fuzzing driver uses.
add_executable(fuzz_guest fuzz_guest.cpp)
tavik_link_image(fuzz_guest WITH_INTERNALS)
target_include_directories(fuzz_guest PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}")

file(MAKE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/roots/fuzz_regress")
add_test(NAME target.fuzz_regress
         COMMAND "${CMAKE_COMMAND}" -DTAVIK_RUN=${TAVIK_RUN} -DCOVERAGE=${TAVIK_COVERAGE_FILE} -DGUEST=$<TARGET_FILE:fuzz_guest>
                 -DINPUTS=${CMAKE_CURRENT_SOURCE_DIR}/fuzz_regress -DROOT=${CMAKE_CURRENT_BINARY_DIR}/roots/fuzz_regress
                 -P "${CMAKE_CURRENT_SOURCE_DIR}/fuzz_regress/replay.cmake")
