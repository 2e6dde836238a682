# Installs the libraries, the public headers, a CMake package
# (find_package(nerido) gives nerido::nerido) and a pkg-config file.
include(CMakePackageConfigHelpers)

set(nerido_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/nerido)

# The library is installed whole or not at all.
if(NOT nerido_have_retrieval)
  install(CODE "message(FATAL_ERROR \"nerido: the library is incomplete without its retrieval: install Eigen 3.4 (Debian package libeigen3-dev) and configure again\")")
  return()
endif()
install(TARGETS nerido_api nerido_retrieval nerido_scene nerido_emissivity nerido_radiance
        EXPORT neridoTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES src/nerido/nerido.hpp src/nerido/retrieval.hpp src/nerido/channels.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/nerido)
install(FILES src/emissivity/kleinswift.hpp src/emissivity/sea_water.hpp
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/nerido/emissivity)
install(FILES src/radiance/tbvanto.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/nerido/radiance)
install(EXPORT neridoTargets NAMESPACE nerido:: DESTINATION ${nerido_cmake_dir})

configure_package_config_file(cmake/neridoConfig.cmake.in
  ${PROJECT_BINARY_DIR}/neridoConfig.cmake INSTALL_DESTINATION ${nerido_cmake_dir})
# 0.x: a new minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/neridoConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/neridoConfig.cmake ${PROJECT_BINARY_DIR}/neridoConfigVersion.cmake
        DESTINATION ${nerido_cmake_dir})

# The pkg-config file finds the prefix from its own place, so that
# `cmake --install --prefix P` gives a working file under any P.
file(RELATIVE_PATH nerido_pc_to_prefix "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(cmake/nerido.pc.in ${PROJECT_BINARY_DIR}/nerido.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/nerido.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
