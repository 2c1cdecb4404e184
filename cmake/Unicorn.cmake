# The CPU emulator: Unicorn from its vendored upstream release (third_party/unicorn), checked against its
# sha256, unpacked and patched at configure time, built as an external project (x86 only, static, Release) and
# offered as the imported target `unicorn`. TAVIK_UNICORN_LIBRARY names an already built libunicorn.a of the
# same sources instead (the fuzz build reuses the main build's).
find_package(Threads REQUIRED)
set(_uc_dir "${CMAKE_CURRENT_LIST_DIR}/../third_party/unicorn")
get_filename_component(_uc_dir "${_uc_dir}" ABSOLUTE)
set(_uc_archive "${_uc_dir}/unicorn-2.1.4.tar.gz")
set(_uc_sha256 3ba74444ccc4787854b8c844e7fe0ab752ba0a9d5205b9654c9e0973548a535c)
file(GLOB _uc_patches CONFIGURE_DEPENDS "${_uc_dir}/patches/*.patch")
list(SORT _uc_patches)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_uc_archive}" ${_uc_patches})

set(_uc_root "${CMAKE_BINARY_DIR}/third_party/unicorn")
set(_uc_source "${_uc_root}/src")
set(TAVIK_UNICORN_LIBRARY "" CACHE FILEPATH "A libunicorn.a already built from third_party/unicorn")

# Unpack and patch once per archive and set of patches: the stamp names them all.
set(_uc_stamp_text "${_uc_sha256}")
foreach(p IN LISTS _uc_patches)
  file(SHA256 "${p}" h)
  string(APPEND _uc_stamp_text " ${h}")
endforeach()
set(_uc_stamp "${_uc_root}/unpacked.stamp")
set(_uc_stamp_old "")
if(EXISTS "${_uc_stamp}")
  file(READ "${_uc_stamp}" _uc_stamp_old)
endif()
if(NOT _uc_stamp_old STREQUAL _uc_stamp_text OR NOT EXISTS "${_uc_source}/CMakeLists.txt")
  file(SHA256 "${_uc_archive}" _uc_actual)
  if(NOT _uc_actual STREQUAL _uc_sha256)
    message(FATAL_ERROR "${_uc_archive}: sha256 ${_uc_actual}, expected ${_uc_sha256}")
  endif()
  file(REMOVE_RECURSE "${_uc_root}")
  file(ARCHIVE_EXTRACT INPUT "${_uc_archive}" DESTINATION "${_uc_root}/unpack")
  file(RENAME "${_uc_root}/unpack/unicorn-2.1.4" "${_uc_source}")
  find_program(TAVIK_PATCH patch REQUIRED)
  foreach(p IN LISTS _uc_patches)
    execute_process(COMMAND "${TAVIK_PATCH}" -p1 --forward --quiet -i "${p}" WORKING_DIRECTORY "${_uc_source}"
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "unicorn: ${p} does not apply")
    endif()
  endforeach()
  file(WRITE "${_uc_stamp}" "${_uc_stamp_text}")
endif()

add_library(unicorn STATIC IMPORTED GLOBAL)
set_target_properties(unicorn PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${_uc_source}/include"
                                         INTERFACE_LINK_LIBRARIES "Threads::Threads;m")
if(TAVIK_UNICORN_LIBRARY)
  set_target_properties(unicorn PROPERTIES IMPORTED_LOCATION "${TAVIK_UNICORN_LIBRARY}")
else()
  include(ExternalProject)
  set(_uc_library "${_uc_root}/build/libunicorn.a")
  ExternalProject_Add(unicorn_build
    PREFIX "${_uc_root}/ep"
    SOURCE_DIR "${_uc_source}"
    BINARY_DIR "${_uc_root}/build"
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DUNICORN_ARCH=x86
               -DBUILD_SHARED_LIBS=OFF -DUNICORN_LEGACY_STATIC_ARCHIVE=ON -DUNICORN_BUILD_TESTS=OFF
               -DUNICORN_INSTALL=OFF
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS "${_uc_library}"
    LOG_CONFIGURE ON LOG_BUILD ON LOG_OUTPUT_ON_FAILURE ON)
  set_target_properties(unicorn PROPERTIES IMPORTED_LOCATION "${_uc_library}")
  add_dependencies(unicorn unicorn_build)
endif()
