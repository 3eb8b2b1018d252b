# Checks the include lines of the layers' sources (cmake -P):
#   cmake -DSOURCE_DIR=<tree> -DLAYERS=engine,icons,app,cli
#         -DPUBLIC=engine/engine.h,icons/icons.h,app/change_workflow.h -P check-layers.cmake
# A source of a layer may include the headers of its own layer and, of each
# layer listed before it, that layer's public header (PUBLIC names one per
# layer below the top one); it may not include the other headers of a lower
# layer, those of a layer listed after it, anything of tests/ or bench/, or
# any path that climbs out with "..". Fails (exit status 1) with one line per
# offending include.
cmake_minimum_required(VERSION 3.25)
if(NOT SOURCE_DIR OR NOT LAYERS OR NOT PUBLIC)
  message(FATAL_ERROR "usage: cmake -DSOURCE_DIR=<tree> -DLAYERS=<bottom,...,top> "
                      "-DPUBLIC=<header of bottom,...> -P check-layers.cmake")
endif()
string(REPLACE "," ";" LAYERS "${LAYERS}")
string(REPLACE "," ";" PUBLIC "${PUBLIC}")
# The public header of each layer, by the layer's folder.
foreach(header IN LISTS PUBLIC)
  if(NOT header MATCHES "^([^/]+)/[^/]+$" OR NOT CMAKE_MATCH_1 IN_LIST LAYERS)
    message(FATAL_ERROR "PUBLIC: ${header} is not a header of one of the layers")
  endif()
  set(public_${CMAKE_MATCH_1} ${header})
endforeach()

get_filename_component(SOURCE_DIR ${SOURCE_DIR} ABSOLUTE)
set(project_folders ${LAYERS} tests bench)
set(allowed)
set(violations)
foreach(layer IN LISTS LAYERS)
  list(APPEND allowed ${layer})
  file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR}
    ${SOURCE_DIR}/${layer}/*.h ${SOURCE_DIR}/${layer}/*.cpp ${SOURCE_DIR}/${layer}/*.c
    ${SOURCE_DIR}/${layer}/*.rc)
  foreach(source IN LISTS sources)
    file(STRINGS ${SOURCE_DIR}/${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    foreach(line IN LISTS lines)
      if(NOT line MATCHES "#[ \t]*include[ \t]*([<\"]([^>\"]*)[>\"])")
        continue()
      endif()
      set(spelled ${CMAKE_MATCH_1})
      set(path ${CMAKE_MATCH_2})
      set(why)
      if(path MATCHES "(^|/)\\.\\.(/|$)")
        set(why "climbs out of its folder")
      elseif(path MATCHES "^([^/]+)/")
        set(top ${CMAKE_MATCH_1})
        if(top IN_LIST project_folders AND NOT top IN_LIST allowed)
          list(JOIN allowed ", " allowed_text)
          set(why "${layer}/ may include only ${allowed_text}")
        elseif(top IN_LIST LAYERS AND NOT top STREQUAL layer AND NOT path STREQUAL "${public_${top}}")
          if(public_${top})
            set(why "${layer}/ may include of ${top}/ only its public header ${public_${top}}")
          else()
            set(why "${layer}/ may include nothing of ${top}/ (it has no public header)")
          endif()
        endif()
      endif()
      if(why)
        list(APPEND violations "${source}: #include ${spelled}: ${why}")
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  list(JOIN LAYERS ", " layers_text)
  message(FATAL_ERROR "Includes across the layers (${layers_text}; bottom first):\n  ${text}")
endif()
