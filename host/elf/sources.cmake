# The ELF reader's sources (src/*.cpp): the main build and the fuzz build take this list.
file(GLOB TAVIK_ELF_SOURCES CONFIGURE_DEPENDS "${CMAKE_CURRENT_LIST_DIR}/src/*.cpp")
