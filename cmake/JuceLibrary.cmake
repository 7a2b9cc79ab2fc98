# JUCE 7 from Debian's juce-modules-source, compiled once into a static library
# from the modules' unity files. Every project unit uses the same settings header.
set(JUCE_MODULES_DIR "/usr/share/juce/modules")
if(NOT EXISTS "${JUCE_MODULES_DIR}/juce_core/juce_core.h")
  message(FATAL_ERROR "JUCE modules not found in ${JUCE_MODULES_DIR}: install juce-modules-source")
endif()

find_package(PkgConfig REQUIRED)
pkg_check_modules(TAMBLIT_FREETYPE REQUIRED IMPORTED_TARGET freetype2)
find_package(ZLIB REQUIRED)
find_package(PNG REQUIRED)
find_package(JPEG REQUIRED)
find_package(X11 REQUIRED)
find_package(Threads REQUIRED)

set(TAMBLIT_JUCE_MODULES
  juce_core juce_events juce_data_structures juce_graphics juce_gui_basics
  juce_gui_extra juce_audio_basics juce_audio_processors juce_cryptography)

set(juce_sources "")
foreach(module ${TAMBLIT_JUCE_MODULES})
  list(APPEND juce_sources "${JUCE_MODULES_DIR}/${module}/${module}.cpp")
endforeach()
# lilv, serd and sord for JUCE's LV2 hosting (JUCE_PLUGINHOST_LV2).
# That unit tests the switch before any settings header is read.
set(lv2_libs "${JUCE_MODULES_DIR}/juce_audio_processors/juce_audio_processors_lv2_libs.cpp")
list(APPEND juce_sources "${lv2_libs}")
set_source_files_properties("${lv2_libs}" PROPERTIES COMPILE_DEFINITIONS JUCE_PLUGINHOST_LV2=1)
# A debug build of JUCE prints its version on stderr at start-up; the tools'
# stderr carries only their own messages.
set_source_files_properties("${JUCE_MODULES_DIR}/juce_core/juce_core.cpp"
  PROPERTIES COMPILE_DEFINITIONS JUCE_DISABLE_JUCE_VERSION_PRINTING=1)

# The version the plug-in reports and the panel shows, from the top-level project.
math(EXPR TAMBLIT_VERSION_CODE
  "(${PROJECT_VERSION_MAJOR} << 16) | (${PROJECT_VERSION_MINOR} << 8) | ${PROJECT_VERSION_PATCH}"
  OUTPUT_FORMAT HEXADECIMAL)
configure_file("${CMAKE_CURRENT_LIST_DIR}/TamblitVersion.h.in" "${CMAKE_BINARY_DIR}/generated/TamblitVersion.h" @ONLY)

add_library(tamblit_juce STATIC ${juce_sources})
set(lv2_sdk "${JUCE_MODULES_DIR}/juce_audio_processors/format_types/LV2_SDK")
target_include_directories(tamblit_juce SYSTEM PUBLIC
  "${JUCE_MODULES_DIR}"
  "${JUCE_MODULES_DIR}/juce_audio_processors/format_types/VST3_SDK"
  "${lv2_sdk}" "${lv2_sdk}/lv2" "${lv2_sdk}/serd" "${lv2_sdk}/sord" "${lv2_sdk}/sord/src"
  "${lv2_sdk}/sratom" "${lv2_sdk}/lilv" "${lv2_sdk}/lilv/src"
  "${TAMBLIT_VST2_INCLUDE_DIR}"
  "${CMAKE_SOURCE_DIR}/src/plugin"
  "${CMAKE_BINARY_DIR}/generated")
target_compile_definitions(tamblit_juce PUBLIC
  JUCE_APP_CONFIG_HEADER="TamblitPluginConfig.h"
  FST_DONT_DEPRECATE_UNKNOWN=1
  $<$<CONFIG:Debug>:DEBUG=1 _DEBUG=1>
  $<$<NOT:$<CONFIG:Debug>>:NDEBUG=1 JUCE_NDEBUG=1>)
target_compile_options(tamblit_juce PRIVATE -w)
target_compile_options(tamblit_juce PUBLIC -Wno-cpp)
target_link_libraries(tamblit_juce PUBLIC
  PkgConfig::TAMBLIT_FREETYPE ZLIB::ZLIB PNG::PNG JPEG::JPEG
  ${X11_LIBRARIES} Threads::Threads ${CMAKE_DL_LIBS} rt)
target_include_directories(tamblit_juce SYSTEM PUBLIC ${X11_INCLUDE_DIR})
