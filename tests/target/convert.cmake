# The guest of the host-side differential test of strtold.
add_executable(convert_strtold_guest convert_strtold_guest.cpp)
tavik_link_image(convert_strtold_guest)
target_include_directories(convert_strtold_guest PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
