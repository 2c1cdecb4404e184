# tavik-run's sources, layer by layer (src/<layer>/*.cpp): the main build and the fuzz build take this list.
file(GLOB_RECURSE TAVIK_RUN_SOURCES CONFIGURE_DEPENDS "${CMAKE_CURRENT_LIST_DIR}/src/*.cpp")
