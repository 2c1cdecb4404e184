# Streams: the standard-input test runs with a fixture on descriptor 0; the guests that
# tests/host/stream_trace_test.cpp runs to check what the streams ask of the kernel.
tavik_target_test(stream_stdin_test SOURCES stream_stdin.cpp STDIN "${CMAKE_CURRENT_SOURCE_DIR}/stream_stdin.in")
add_executable(stream_calls stream_calls.cpp)
tavik_link_image(stream_calls)
target_include_directories(stream_calls PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}")
