# The version lives in one place: VERSION of project() in the top
# CMakeLists.txt. This makes it a header (marovi/version.h, of the target
# marovi_version) for marovi-cli --version and the programs' version
# resources; the manual page and the packages read PROJECT_VERSION directly.
foreach(part MAJOR MINOR PATCH)
  if(NOT PROJECT_VERSION_${part} MATCHES "^[0-9]+$")
    message(FATAL_ERROR "project(... VERSION ...) needs three numbers, major.minor.patch")
  endif()
endforeach()

configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${PROJECT_BINARY_DIR}/generated/marovi/version.h
               @ONLY)
add_library(marovi_version INTERFACE)
target_include_directories(marovi_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
