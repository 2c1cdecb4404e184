# Guest programs that host tests run (tests/host/process_test.cpp, tests/host/wrapper_trace_test.cpp).
foreach(program process_end wrapper_calls)
  add_executable(${program} ${program}.cpp)
  tavik_link_image(${program})
  target_include_directories(${program} PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}")
endforeach()
