# What every Windows executable of the project carries, and how the release
# builds are made reproducible and lean. Included only for Windows builds.

set(TAMLO_PRODUCT "Tamlo")
set(TAMLO_COMPANY "Tamlo")
set(TAMLO_COPYRIGHT "Copyright (C) 2026 Tamlo")
set(TAMLO_MANIFEST ${CMAKE_CURRENT_LIST_DIR}/tamlo.manifest)

if(NOT MSVC)
  # The same commit gives the same bytes: no link timestamp, no build paths
  # (the source and build trees are named relative to themselves).
  add_compile_options(
    $<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=>
    $<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${PROJECT_BINARY_DIR}/=>)
  add_link_options(-Wl,--no-insert-timestamp)
  # A release .exe ships without its debug data.
  add_link_options($<$<CONFIG:Release,MinSizeRel>:-s>)
endif()

# Gives TARGET its version resource and application manifest; DESCRIPTION is
# its FileDescription, what Explorer and inventory tools show for it.
#   tamlo_windows_executable(TARGET DESCRIPTION)
function(tamlo_windows_executable target description)
  set(TAMLO_NAME ${target})
  set(TAMLO_DESCRIPTION "${description}")
  set(TAMLO_VERSION_DOTS
      "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
  string(REPLACE "." "," TAMLO_VERSION_COMMAS "${TAMLO_VERSION_DOTS}")
  if(MSVC)
    # MSVC's linker embeds a .manifest source (it would make its own otherwise).
    set(TAMLO_MANIFEST_RESOURCE "")
    target_sources(${target} PRIVATE ${TAMLO_MANIFEST})
  else()
    # Resource 1 of type 24 (RT_MANIFEST): the manifest of the process.
    set(TAMLO_MANIFEST_RESOURCE "1 24 \"${TAMLO_MANIFEST}\"")
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/version.rc.in ${rc} @ONLY)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${TAMLO_MANIFEST})
  target_sources(${target} PRIVATE ${rc})
  # The list of the build's Windows executables, for the tests.
  set_property(GLOBAL APPEND PROPERTY TAMLO_WINDOWS_EXECUTABLES ${target}.exe)
  get_property(executables GLOBAL PROPERTY TAMLO_WINDOWS_EXECUTABLES)
  string(REPLACE ";" "\n" executables "${executables}")
  file(WRITE ${PROJECT_BINARY_DIR}/windows_executables.txt "${executables}\n")
endfunction()
