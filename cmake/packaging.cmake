# What `cmake --install` puts under the prefix, and the packages CPack makes.
#
# Component Runtime: on Linux marovi-cli, its manual page and its documents;
# from a Windows build Marovi.exe and marovi-cli.exe with the README and the
# licence, side by side. Component Development: the engine as a static
# library, its public headers and a CMake package (find_package(Marovi) gives
# Marovi::engine). CPack packs the Runtime component: the Debian package
# marovi-cli on Linux, a zip per architecture from the Windows builds
# (`make dist` makes all of them from the release presets).

set(MAROVI_PACKAGE_CONTACT "The Marovi authors <marovi@example.org>" CACHE STRING
    "Maintainer of the Debian package: a name and a mail address")

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(GNUInstallDirs)
set(MAROVI_DEB_NAME marovi-cli)
set(MAROVI_PACKAGING_DIR ${PROJECT_BINARY_DIR}/packaging)

# --- Runtime -----------------------------------------------------------------
if(WIN32)
  install(TARGETS Marovi marovi-cli RUNTIME DESTINATION . COMPONENT Runtime)
  install(FILES README.md DESTINATION . COMPONENT Runtime)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt COMPONENT Runtime)
else()
  install(TARGETS marovi-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
  # Hardened as Debian links its programs: relocations read-only, bound at start.
  target_link_options(marovi-cli PRIVATE -Wl,-z,relro -Wl,-z,now)

  # The manual page with the project's version, and the documents Debian
  # asks for: the licence in its machine-readable copyright format and a
  # changelog (dated SOURCE_DATE_EPOCH when set, for reproducible packages).
  configure_file(cli/marovi-cli.1.in ${MAROVI_PACKAGING_DIR}/marovi-cli.1 @ONLY)
  file(READ LICENSE MAROVI_LICENSE_TEXT)
  if(NOT MAROVI_LICENSE_TEXT MATCHES "\nCopyright \\(c\\) ([^\n]+)")
    message(FATAL_ERROR "LICENSE has no line \"Copyright (c) YEARS HOLDER\"")
  endif()
  set(MAROVI_COPYRIGHT "${CMAKE_MATCH_1}")
  string(STRIP "${MAROVI_LICENSE_TEXT}" MAROVI_LICENSE_TEXT)
  string(REPLACE "\n\n" "\n.\n" MAROVI_LICENSE_TEXT "${MAROVI_LICENSE_TEXT}")
  string(REPLACE "\n" "\n " MAROVI_LICENSE_TEXT " ${MAROVI_LICENSE_TEXT}")
  configure_file(cmake/debian/copyright.in ${MAROVI_PACKAGING_DIR}/copyright @ONLY)
  string(TIMESTAMP MAROVI_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(cmake/debian/changelog.in ${MAROVI_PACKAGING_DIR}/changelog @ONLY)

  # Compressed the way Debian wants them: best, without a timestamp.
  set(compressed)
  foreach(document marovi-cli.1 changelog)
    add_custom_command(OUTPUT ${MAROVI_PACKAGING_DIR}/${document}.gz
      COMMAND gzip -9nkf ${document}
      WORKING_DIRECTORY ${MAROVI_PACKAGING_DIR}
      DEPENDS ${MAROVI_PACKAGING_DIR}/${document}
      VERBATIM)
    list(APPEND compressed ${MAROVI_PACKAGING_DIR}/${document}.gz)
  endforeach()
  add_custom_target(marovi_documents ALL DEPENDS ${compressed})

  install(FILES ${MAROVI_PACKAGING_DIR}/marovi-cli.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Runtime)
  install(FILES README.md ${MAROVI_PACKAGING_DIR}/copyright ${MAROVI_PACKAGING_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${MAROVI_DEB_NAME} COMPONENT Runtime)
endif()

# --- Development: the engine for other programs -------------------------------
# The engine's public header and the parts it includes; nothing of the
# engine's own workings (the tree, the layout, the mapping) is installed.
set(MAROVI_PUBLIC_HEADERS
  engine/engine.h engine/error.h engine/file_services.h engine/little_endian.h
  engine/resource_key.h
  engine/formats/version_info.h engine/formats/manifest.h engine/formats/string_table.h
  engine/formats/resource_types.h engine/formats/res_file.h engine/formats/resource_files.h)
# An installed header that includes one that is not installed would not
# compile for a user.
foreach(header IN LISTS MAROVI_PUBLIC_HEADERS)
  file(STRINGS ${header} included REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS included)
    string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*" "\\1" path "${line}")
    if(NOT path IN_LIST MAROVI_PUBLIC_HEADERS)
      message(FATAL_ERROR "${header} includes ${path}, which is not installed (MAROVI_PUBLIC_HEADERS)")
    endif()
  endforeach()
endforeach()

add_library(Marovi::engine ALIAS marovi_engine)
set_target_properties(marovi_engine PROPERTIES EXPORT_NAME engine POSITION_INDEPENDENT_CODE ON)
target_compile_features(marovi_engine PUBLIC cxx_std_20)
# The engine's include directories are folders of this tree: they serve the
# build only; an installed engine is found in include/marovi.
get_target_property(engine_includes marovi_engine INTERFACE_INCLUDE_DIRECTORIES)
set(build_includes)
foreach(folder IN LISTS engine_includes)
  if(folder MATCHES "^\\$<")
    list(APPEND build_includes "${folder}")
  else()
    list(APPEND build_includes "$<BUILD_INTERFACE:${folder}>")
  endif()
endforeach()
set_property(TARGET marovi_engine PROPERTY INTERFACE_INCLUDE_DIRECTORIES "${build_includes}")

install(TARGETS marovi_engine EXPORT MaroviTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/marovi)
# Each header at the path the others include it by, under include/marovi.
foreach(header IN LISTS MAROVI_PUBLIC_HEADERS)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/marovi/${folder}
          COMPONENT Development)
endforeach()
set(MAROVI_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Marovi)
install(EXPORT MaroviTargets NAMESPACE Marovi:: DESTINATION ${MAROVI_CMAKE_DIR}
        COMPONENT Development)
include(CMakePackageConfigHelpers)
configure_package_config_file(cmake/MaroviConfig.cmake.in ${MAROVI_PACKAGING_DIR}/MaroviConfig.cmake
                              INSTALL_DESTINATION ${MAROVI_CMAKE_DIR})
write_basic_package_version_file(${MAROVI_PACKAGING_DIR}/MaroviConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${MAROVI_PACKAGING_DIR}/MaroviConfig.cmake ${MAROVI_PACKAGING_DIR}/MaroviConfigVersion.cmake
        DESTINATION ${MAROVI_CMAKE_DIR} COMPONENT Development)

# --- CPack -------------------------------------------------------------------
set(CPACK_PACKAGE_NAME marovi)
set(CPACK_PACKAGE_VENDOR "The Marovi authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${MAROVI_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "replace the icon of a Windows executable")
file(READ cmake/debian/description.txt CPACK_PACKAGE_DESCRIPTION)
string(STRIP "${CPACK_PACKAGE_DESCRIPTION}" CPACK_PACKAGE_DESCRIPTION)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
# Only the Runtime component goes into the packages.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};Runtime;/")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(MAROVI_ARCHITECTURE x86_64)
  else()
    set(MAROVI_ARCHITECTURE i686)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME marovi-${PROJECT_VERSION}-windows-${MAROVI_ARCHITECTURE})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_NAME ${MAROVI_DEB_NAME})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends: what the binary links, as dpkg-shlibdeps finds it.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
