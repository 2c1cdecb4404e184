# The guest of tests/host/printf_trace_test.cpp: one stream formatter call per case, its result the exit status.
add_executable(printf_pieces printf_pieces.cpp)
tavik_link_image(printf_pieces)
target_include_directories(printf_pieces PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}")
