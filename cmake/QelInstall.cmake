# `cmake --install`: both libraries, the public headers under include/qel/, the
# robot description, a CMake package (find_package(qel_m4) gives
# qel::qel_m4_src and qel::vanteq) and pkg-config files.
include(CMakePackageConfigHelpers)

set(QEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qel_m4)
set(QEL_DATA_DIR ${CMAKE_INSTALL_DATADIR}/qel_m4)

# qel_kdl carries the absolute paths of the distribution's KDL libraries found
# at build time; installed hosts use the same packages.
install(TARGETS qel_m4_src vanteq qel_kdl
    EXPORT qel_m4Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/qel
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    FILES_MATCHING PATTERN "*.hpp")
install(FILES ${PROJECT_SOURCE_DIR}/urdf/Zq4mina00.urdf DESTINATION ${QEL_DATA_DIR}/urdf)

install(EXPORT qel_m4Targets NAMESPACE qel:: DESTINATION ${QEL_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/templates/qel_m4Config.cmake.in
    ${PROJECT_BINARY_DIR}/qel_m4Config.cmake
    INSTALL_DESTINATION ${QEL_CMAKE_DIR}
    PATH_VARS QEL_DATA_DIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qel_m4ConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qel_m4Config.cmake ${PROJECT_BINARY_DIR}/qel_m4ConfigVersion.cmake
    DESTINATION ${QEL_CMAKE_DIR})

file(RELATIVE_PATH QEL_PC_TO_PREFIX
    ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
foreach(pc IN ITEMS qel_m4 vanteq)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/templates/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
