# Installs what a host needs to build against searchdb: the public header,
# the shared library with its SONAME links, a pkg-config file and a CMake
# package whose target is searchdb::searchdb. The static core is for the
# tests only and is not installed.
include(CMakePackageConfigHelpers)

set(SEARCHDB_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/searchdb)

install(TARGETS searchdb EXPORT searchdbTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT searchdbTargets
  NAMESPACE searchdb::
  DESTINATION ${SEARCHDB_CMAKE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/searchdbConfig.cmake.in
  ${PROJECT_BINARY_DIR}/searchdbConfig.cmake
  INSTALL_DESTINATION ${SEARCHDB_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/searchdbConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/searchdbConfig.cmake
  ${PROJECT_BINARY_DIR}/searchdbConfigVersion.cmake
  DESTINATION ${SEARCHDB_CMAKE_DIR})

# The .pc file names its directories relative to its own location, the way
# the CMake package does, so `cmake --install --prefix` elsewhere still works.
set(SEARCHDB_PC_DIR ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH SEARCHDB_PC_LIBDIR ${SEARCHDB_PC_DIR} ${CMAKE_INSTALL_FULL_LIBDIR})
file(RELATIVE_PATH SEARCHDB_PC_INCLUDEDIR ${SEARCHDB_PC_DIR} ${CMAKE_INSTALL_FULL_INCLUDEDIR})
string(REGEX REPLACE "/$" "" SEARCHDB_PC_LIBDIR "${SEARCHDB_PC_LIBDIR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/searchdb.pc.in ${PROJECT_BINARY_DIR}/searchdb.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/searchdb.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
