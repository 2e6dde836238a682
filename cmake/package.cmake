# `cpack -G DEB` in a build configured with -DCMAKE_INSTALL_PREFIX=/usr: a
# Debian package of everything `cmake --install` installs, with the
# documents Debian requires and its dependencies computed from the binaries
# (dpkg-shlibdeps, Debian package dpkg-dev).

set(NERIDO_PACKAGE_MAINTAINER "The nerido developers <nerido@example.org>"
    CACHE STRING "The Debian package's maintainer, as Name <address>")

# The copyright and the changelog, gzip -9n as Debian wants the changelog.
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
if(NERIDO_GZIP)
  set(nerido_changelog ${PROJECT_BINARY_DIR}/doc/changelog.gz)
  add_custom_command(OUTPUT ${nerido_changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
    COMMAND ${NERIDO_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/CHANGELOG.md > ${nerido_changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md
    COMMENT "changelog.gz")
  add_custom_target(changelog ALL DEPENDS ${nerido_changelog})
  install(FILES ${nerido_changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME nerido)
set(CPACK_PACKAGE_VENDOR "The nerido developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "nadir microwave brightness temperatures of the sea")
# The extended description, in lines of at most 80 characters.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "nerido computes the brightness temperatures that a nadir-looking airborne"
  "radiometer receives from the sea in six channels between 4.74 and 7.09 GHz,"
  "from the sea-surface temperature, the altitude, the air temperature, the"
  "wind speed and the rain rate. The package holds the interactive calculator"
  "nerido; the batch tool nerido-batch for files of scenes, grids and"
  "retrievals of wind and rain; and the C++ library with its headers, CMake"
  "package and pkg-config file.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NERIDO_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnuplot-nox | gnuplot")
include(CPack)
