# Installs the programs and their manual pages, the libraries, the public
# headers, a CMake package (find_package(nerido) gives nerido::nerido, and
# nerido::vector where the vector path was built) and pkg-config files
# (nerido, nerido-vector).
include(CMakePackageConfigHelpers)

# The programs, with or without the retrieval, and their manual pages, made
# at build time from each program's --help and --version (Debian package
# help2man; gzip -9n as Debian wants them).
find_program(NERIDO_HELP2MAN help2man)
find_program(NERIDO_GZIP gzip)
if(NOT NERIDO_HELP2MAN OR NOT NERIDO_GZIP)
  message(STATUS "nerido: manual pages skipped: help2man or gzip not found (Debian package help2man)")
endif()
set(nerido_man_pages "")
foreach(program IN ITEMS nerido nerido-batch)
  if(NOT TARGET ${program})
    continue()
  endif()
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(NERIDO_HELP2MAN AND NERIDO_GZIP)
    set(page ${PROJECT_BINARY_DIR}/man/${program}.1.gz)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> "-DNAME=$<TARGET_PROPERTY:${program},NERIDO_SUMMARY>"
              -DHELP2MAN=${NERIDO_HELP2MAN} -DGZIP=${NERIDO_GZIP} -DOUTPUT=${page}
              -P ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
      DEPENDS ${program} ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
      COMMENT "Manual page ${program}.1" VERBATIM)
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    list(APPEND nerido_man_pages ${page})
  endif()
endforeach()
if(nerido_man_pages)
  add_custom_target(man_pages ALL DEPENDS ${nerido_man_pages})
endif()

set(nerido_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/nerido)
# The installed headers, under src/ (also the input of the API reference).
set(nerido_public_headers nerido/nerido.hpp nerido/retrieval.hpp nerido/channels.hpp nerido/outputs.hpp
    emissivity/kleinswift.hpp
    emissivity/sea_water.hpp radiance/tbvanto.hpp)
# The span API, where SLEEF was found: its library, header and pkg-config file.
set(nerido_installed_libraries nerido_api nerido_retrieval nerido_scene nerido_emissivity
    nerido_radiance)
if(nerido_have_vector)
  list(APPEND nerido_public_headers nerido/vector.hpp)
  list(APPEND nerido_installed_libraries nerido_vector)
endif()

# The library is installed whole or not at all.
if(NOT nerido_have_retrieval)
  install(CODE "message(WARNING \"nerido: the library is not installed, only the programs: it is incomplete without its retrieval: install Eigen 3.4 (Debian package libeigen3-dev) and configure again\")")
  return()
endif()
install(TARGETS ${nerido_installed_libraries}
        EXPORT neridoTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
foreach(header IN LISTS nerido_public_headers)
  # nerido/X.hpp is installed as <nerido/X.hpp>, FOLDER/X.hpp as <nerido/FOLDER/X.hpp>.
  get_filename_component(folder ${header} DIRECTORY)
  string(REGEX REPLACE "^nerido/?" "" folder "${folder}/")
  install(FILES src/${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/nerido/${folder})
endforeach()
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
if(nerido_have_vector)
  configure_file(cmake/nerido-vector.pc.in ${PROJECT_BINARY_DIR}/nerido-vector.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/nerido-vector.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
