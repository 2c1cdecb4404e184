# Streams: the standard-input test runs with a fixture on descriptor 0.
tavik_target_test(stream_stdin_test SOURCES stream_stdin.cpp STDIN "${CMAKE_CURRENT_SOURCE_DIR}/stream_stdin.in")
