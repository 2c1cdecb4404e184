# The guest of tests/host/format_diff_test.cpp: formats each case of its input with the buffer formatter.
add_executable(format_diff_guest format_diff_guest.cpp)
tavik_link_image(format_diff_guest)
target_include_directories(format_diff_guest PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}")
