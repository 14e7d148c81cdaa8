# Installation: the library and the workstation services it calls (versioned, with SONAME), the
# public headers, a CMake package (find_package(tusave) -> tusave::qveldtusave), a pkg-config
# file, and the programs tusave, fcssim and shgsave.
include(CMakePackageConfigHelpers)

set_target_properties(qveldtusave tusavews PROPERTIES
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})

install(TARGETS qveldtusave tusavews EXPORT tusaveTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES
  ${PROJECT_SOURCE_DIR}/LdLoad/libqveldtusave/include/libqveldtusave.h
  ${PROJECT_SOURCE_DIR}/LdLoad/libqveldtusave/include/LdTuSaveIds.h
  ${PROJECT_SOURCE_DIR}/LdLoad/libqveldtusave/include/tusave_host.h
  ${PROJECT_SOURCE_DIR}/LdLoad/libqveldtusave/include/tusave_results.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tusave)
foreach(program tusave fcssim shgsave)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

set(TUSAVE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tusave)
install(EXPORT tusaveTargets NAMESPACE tusave:: DESTINATION ${TUSAVE_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tusaveConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tusaveConfig.cmake INSTALL_DESTINATION ${TUSAVE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tusaveConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tusaveConfig.cmake ${PROJECT_BINARY_DIR}/tusaveConfigVersion.cmake
  DESTINATION ${TUSAVE_CMAKE_DIR})

# The pkg-config file finds the prefix from its own place, so the install can be moved.
file(RELATIVE_PATH TUSAVE_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
configure_file(${PROJECT_SOURCE_DIR}/cmake/tusave.pc.in ${PROJECT_BINARY_DIR}/tusave.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tusave.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
