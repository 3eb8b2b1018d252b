# The layers, bottom first: each may include its own headers and, of each
# layer below it, that layer's one public header, never anything above it (nor
# the tests').
#   engine  <-  icons  <-  app  <-  cli
#   engine/engine.h, icons/icons.h, app/change_workflow.h
# The build enforces it in two ways:
# - Include roots. A library's sources and its users do not see the source
#   tree: each layer gets an include root of its own in the build tree,
#   <build>/include-roots/<layer>/, holding one symbolic link, <layer> ->
#   <source>/<layer>. A library puts its own root on its PUBLIC include path,
#   so it sees its folder and, through what it links, the folders below it;
#   `#include "app/..."` from engine/ is "No such file" for the compiler.
# - A check of the include lines (cmake/check-layers.cmake), run before the
#   libraries are compiled and whenever a source of a layer changes: it also
#   refuses what include paths cannot stop, such as "../app/x.h" or an
#   internal header of a lower layer ("engine/tree/restree.h" from icons/).
# tests/layers proves both: its probes must fail to compile, and the check
# must list every crossing in a small tree of violations.
set(MAROVI_LAYERS engine icons app cli)
set(MAROVI_LAYER_HEADERS engine/engine.h icons/icons.h app/change_workflow.h)
set(MAROVI_INCLUDE_ROOTS ${CMAKE_BINARY_DIR}/include-roots)

# marovi_include_root(target folder PUBLIC|PRIVATE): puts the include root of
# <source>/<folder> on target's include path. The libraries of a layer use
# PUBLIC, programs PRIVATE.
function(marovi_include_root target folder scope)
  set(root ${MAROVI_INCLUDE_ROOTS}/${folder})
  set(link ${root}/${folder})
  set(current)
  if(IS_SYMLINK ${link})
    file(READ_SYMLINK ${link} current)
  endif()
  if(NOT current STREQUAL "${PROJECT_SOURCE_DIR}/${folder}")
    file(MAKE_DIRECTORY ${root})
    file(REMOVE ${link})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${link} SYMBOLIC)
  endif()
  target_include_directories(${target} ${scope} ${root})
  add_dependencies(${target} marovi_layers)
endfunction()

# The include check, as a target every library of a layer depends on.
set(marovi_layer_sources)
foreach(marovi_layer IN LISTS MAROVI_LAYERS)
  file(GLOB_RECURSE marovi_found CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/${marovi_layer}/*.h ${PROJECT_SOURCE_DIR}/${marovi_layer}/*.cpp
    ${PROJECT_SOURCE_DIR}/${marovi_layer}/*.c ${PROJECT_SOURCE_DIR}/${marovi_layer}/*.rc)
  list(APPEND marovi_layer_sources ${marovi_found})
endforeach()
string(REPLACE ";" "," marovi_layer_list "${MAROVI_LAYERS}")
string(REPLACE ";" "," marovi_layer_headers "${MAROVI_LAYER_HEADERS}")
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/layers.checked
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DLAYERS=${marovi_layer_list}
          -DPUBLIC=${marovi_layer_headers} -P ${PROJECT_SOURCE_DIR}/cmake/check-layers.cmake
  COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/layers.checked
  DEPENDS ${marovi_layer_sources} ${PROJECT_SOURCE_DIR}/cmake/check-layers.cmake
  COMMENT "Checking the layers' includes"
  VERBATIM)
add_custom_target(marovi_layers DEPENDS ${CMAKE_BINARY_DIR}/layers.checked)
unset(marovi_layer_sources)
unset(marovi_found)
unset(marovi_layer_list)
unset(marovi_layer_headers)
