# crashprobe's main under argument vectors that tavik-run cannot lay out, driven by crashprobe_argv; the host test
# crashprobe_test runs it. The command's own source is compiled again with its main renamed.
add_library(crashprobe_main_obj OBJECT "${CMAKE_SOURCE_DIR}/commands/crashprobe/crashprobe_uelf.cpp")
target_compile_definitions(crashprobe_main_obj PRIVATE main=crashprobe_main)
target_include_directories(crashprobe_main_obj SYSTEM PRIVATE "${CMAKE_SOURCE_DIR}/libc/include")
add_executable(crashprobe_argv crashprobe_argv.cpp $<TARGET_OBJECTS:crashprobe_main_obj>)
tavik_link_image(crashprobe_argv)
target_include_directories(crashprobe_argv PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
