# tavrin_add_library(<name> SOURCES ... [PUBLIC ...] [PRIVATE ...] [NAMESPACE ns])
# Adds the static library <ns>_<name> (ns defaults to tavrin) with the alias <ns>::<name>.
function(tavrin_add_library name)
  cmake_parse_arguments(ARG "" "NAMESPACE" "SOURCES;PUBLIC;PRIVATE" ${ARGN})
  if(NOT ARG_NAMESPACE)
    set(ARG_NAMESPACE tavrin)
  endif()
  if(ARG_NAMESPACE STREQUAL name)
    set(target ${name})
  else()
    set(target ${ARG_NAMESPACE}_${name})
  endif()
  add_library(${target} STATIC ${ARG_SOURCES})
  add_library(${ARG_NAMESPACE}::${name} ALIAS ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${name})
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_link_libraries(${target} PUBLIC ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
  tavrin_warnings(${target})
  set_property(GLOBAL APPEND PROPERTY TAVRIN_EXPORTED_${ARG_NAMESPACE} ${target})
endfunction()

# Warnings are errors in tavrin's own builds (every preset, CI); a project that builds tavrin
# from source with another compiler gets the warnings without failing on them.
function(tavrin_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(TAVRIN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# tavrin_add_test(<name> SOURCES ... DEPS ...): a GoogleTest program registered with CTest.
function(tavrin_add_test name)
  if(NOT TAVRIN_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  tavrin_warnings(${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120
    PROPERTIES ENVIRONMENT "TAVRIN_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()

include(GNUInstallDirs)
