# What the cross-built Windows edition takes from the host (included by the
# top-level CMakeLists.txt before the project's own warning options, so
# that they do not apply to GoogleTest's sources):
#  - GoogleTest, built from Debian's sources (googletest) for the target;
#  - CLI11, which is only headers: the host's copy, reached through a folder
#    that holds nothing else, so that no other host header can enter the
#    cross build.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
find_path(TRAILMARK_GTEST_SOURCE CMakeLists.txt PATHS /usr/src/googletest NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT TRAILMARK_GTEST_SOURCE)
  message(FATAL_ERROR "GoogleTest sources not found in /usr/src/googletest (Debian package googletest)")
endif()
add_subdirectory(${TRAILMARK_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

find_path(TRAILMARK_CLI11_HEADERS CLI/CLI.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT TRAILMARK_CLI11_HEADERS)
  message(FATAL_ERROR "CLI11 headers not found in /usr/include (Debian package libcli11-dev)")
endif()
set(cli11_folder ${CMAKE_BINARY_DIR}/cli11)
file(MAKE_DIRECTORY ${cli11_folder}/include)
file(CREATE_LINK ${TRAILMARK_CLI11_HEADERS}/CLI ${cli11_folder}/include/CLI SYMBOLIC)
file(WRITE ${cli11_folder}/CLI11Config.cmake
     "if(NOT TARGET CLI11::CLI11)\n"
     "  add_library(CLI11::CLI11 INTERFACE IMPORTED)\n"
     "  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${cli11_folder}/include)\n"
     "endif()\n")
set(CLI11_DIR ${cli11_folder} CACHE PATH "CLI11 for the cross build" FORCE)
