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
  # GCC 12 takes an Asio coroutine frame's sized operator delete for a mismatch with its
  # templated operator new whenever a frame's layout tips the inlining: a known false positive
  # of GCC with coroutines, gone in later releases. ASan still catches a real mismatch.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-mismatched-new-delete)
  endif()
  if(TAVRIN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# tavrin_add_test(<name> SOURCES ... DEPS ... [LABELS ...] [NET <gtest pattern>...]): a
# GoogleTest program registered with CTest, each test labelled by what it needs:
#   unit  neither of the others (the default): `ctest -L unit` runs offline;
#   net   opens sockets (a stand-in server on 127.0.0.1): the tests NET matches, in gtest's
#         filter syntax (a pattern may end in -<exceptions>), or all with LABELS net;
#   e2e   runs the tavrin binary: LABELS e2e (its NET tests are e2e and net).
function(tavrin_add_test name)
  if(NOT TAVRIN_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS;NET" ${ARGN})
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  tavrin_warnings(${name})
  set(properties ENVIRONMENT "TAVRIN_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  if(NOT ARG_NET)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120
      PROPERTIES ${properties} LABELS "${ARG_LABELS}")
    return()
  endif()
  # The NET tests, the tests NET does not name, and those it names as exceptions: one
  # discovery each, as a gtest filter cannot state the complement of "a-b".
  list(REMOVE_ITEM ARG_LABELS unit)
  list(JOIN ARG_NET ":" net)
  string(FIND "${net}" "-" dash)
  if(dash EQUAL -1)
    set(named "${net}")
    set(exceptions "")
  else()
    string(SUBSTRING "${net}" 0 ${dash} named)
    math(EXPR after "${dash} + 1")
    string(SUBSTRING "${net}" ${after} -1 exceptions)
  endif()
  set(offline_labels ${ARG_LABELS})
  if(NOT offline_labels)
    set(offline_labels unit)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 TEST_FILTER "${net}"
    TEST_LIST ${name}_net_tests PROPERTIES ${properties} LABELS net)
  if(ARG_LABELS)
    # Two labels cannot pass through gtest_discover_tests' PROPERTIES (it flattens the list):
    # a file that CTest reads after the discovered tests adds them.
    set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_net_labels.cmake)
    file(WRITE ${labels_file}
      "set_tests_properties(\${${name}_net_tests} PROPERTIES LABELS \"${ARG_LABELS};net\")\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 TEST_FILTER "-${named}"
    PROPERTIES ${properties} LABELS "${offline_labels}")
  if(exceptions)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 TEST_FILTER "${exceptions}"
      PROPERTIES ${properties} LABELS "${offline_labels}")
  endif()
endfunction()
