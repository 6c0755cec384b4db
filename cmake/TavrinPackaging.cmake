# Installs headers, libraries, the tool and a CMake package:
#   find_package(tavrin CONFIG) -> tavrin::tavrin, tavrin::<component>, quellin::quellin
include(CMakePackageConfigHelpers)

set(TAVRIN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tavrin)
get_property(quellin_targets GLOBAL PROPERTY TAVRIN_EXPORTED_quellin)
get_property(tavrin_targets GLOBAL PROPERTY TAVRIN_EXPORTED_tavrin)

# The exception family comes first: both other sets use it.
install(TARGETS tavrin_errors EXPORT tavrinErrorsTargets)
install(EXPORT tavrinErrorsTargets NAMESPACE tavrin:: DESTINATION ${TAVRIN_CMAKE_DIR})
install(TARGETS ${quellin_targets} EXPORT quellinTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS ${tavrin_targets} tavrin EXPORT tavrinTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT quellinTargets NAMESPACE quellin:: DESTINATION ${TAVRIN_CMAKE_DIR})
install(EXPORT tavrinTargets NAMESPACE tavrin:: DESTINATION ${TAVRIN_CMAKE_DIR})

foreach(dir tavrin quellin)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${dir}
    FILES_MATCHING PATTERN "*.hpp"
    PATTERN "internal" EXCLUDE)
endforeach()

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tavrinConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tavrinConfig.cmake INSTALL_DESTINATION ${TAVRIN_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tavrinConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tavrin)
install(FILES
  ${PROJECT_BINARY_DIR}/tavrinConfig.cmake
  ${PROJECT_BINARY_DIR}/tavrinConfigVersion.cmake
  ${PROJECT_SOURCE_DIR}/cmake/TavrinDependencies.cmake
  DESTINATION ${TAVRIN_CMAKE_DIR})
