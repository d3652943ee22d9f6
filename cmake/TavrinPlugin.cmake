# tavrin_add_plugin(<dir> SOURCES <files...>)
#
# Builds <dir>_core, an object library of the plug-in's sources that its unit
# tests link directly, and the plug-in itself: a module named exactly as the
# plug-in table says (no "lib" prefix) whose only exported symbol is the
# table's export.
function(tavrin_add_plugin dir)
  cmake_parse_arguments(P "" "" "SOURCES" ${ARGN})
  tavrin_plugin_row(${dir} P)
  set(core ${dir}_core)
  add_library(${core} OBJECT ${P_SOURCES})
  target_link_libraries(${core} PUBLIC tavrin_common)
  target_compile_definitions(${core} PRIVATE TAVRIN_BUILDING_PLUGIN)
  target_include_directories(${core} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  set_target_properties(${core} PROPERTIES
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

  set(gen ${CMAKE_CURRENT_BINARY_DIR}/${P_LIBRARY})
  file(WRITE ${gen}.map "{\n  global: ${P_EXPORT};\n  local: *;\n};\n")

  if(WIN32)
    set(TAVRIN_PLUGIN_NAME ${P_LIBRARY})
    set(TAVRIN_PLUGIN_EXPORT ${P_EXPORT})
    configure_file(${PROJECT_SOURCE_DIR}/cmake/plugin.def.in ${gen}.def @ONLY)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${gen}.rc @ONLY)
    add_library(${P_LIBRARY} SHARED $<TARGET_OBJECTS:${core}> ${gen}.def ${gen}.rc)
  else()
    add_library(${P_LIBRARY} MODULE $<TARGET_OBJECTS:${core}>)
    target_link_options(${P_LIBRARY} PRIVATE
      "LINKER:--version-script=${gen}.map" "LINKER:--no-undefined")
    set_property(TARGET ${P_LIBRARY} APPEND PROPERTY LINK_DEPENDS ${gen}.map)
  endif()
  target_link_libraries(${P_LIBRARY} PRIVATE tavrin_common)
  set_target_properties(${P_LIBRARY} PROPERTIES PREFIX "")
  # Lets other parts of the build (fuzz targets) link the plug-in's objects.
  set_target_properties(${P_LIBRARY} PROPERTIES TAVRIN_CORE ${core})

  set_property(GLOBAL APPEND PROPERTY TAVRIN_PLUGINS "${P_LIBRARY}:${P_EXPORT}")
endfunction()
