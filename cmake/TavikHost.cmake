# Host build settings: C++20, and non-position-independent executables (a PIE tavik-run spends milliseconds
# relocating the static CPU emulator at every start).
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type" FORCE)
endif()
set(CMAKE_POSITION_INDEPENDENT_CODE OFF)
add_compile_options(-fno-pie -Wall -Wextra)
add_link_options(-no-pie)

set(TAVIK_SDK_DIR "${CMAKE_BINARY_DIR}/sdk" CACHE PATH "Where the build stages the SDK")
set(TAVIK_ROOT_DIR "${CMAKE_BINARY_DIR}/root" CACHE PATH "The tavik root file system the build stages commands in")
# Where the target build puts its test programs, for host tests that run them.
set(TAVIK_TARGET_BINARY_DIR "${CMAKE_BINARY_DIR}/target")
include(${CMAKE_CURRENT_LIST_DIR}/TavikImage.cmake)
