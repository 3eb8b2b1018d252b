# The project's warning set as one INTERFACE target: every target of the
# project links it PRIVATE (so it does not spread to whoever links a library).
# C and C++ only: resource scripts (windres) take no warning options.
# The host tools' project (app/tools) includes this file too.
if(NOT TARGET marovi_warnings)
  add_library(marovi_warnings INTERFACE)
  target_compile_options(marovi_warnings INTERFACE
    $<$<COMPILE_LANGUAGE:C,CXX>:-Wall -Wextra -Wconversion -Wsign-conversion -Wshadow -Wno-unused-parameter>)
endif()
