# `cmake --build build --target docs`: the API reference of the installed
# headers with Doxygen (Debian package doxygen), in build/docs/html. With
# NERIDO_WERROR a Doxygen warning fails the target.
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  message(STATUS "nerido: API reference skipped: Doxygen not found (Debian package doxygen)")
  return()
endif()
list(TRANSFORM nerido_public_headers PREPEND ${PROJECT_SOURCE_DIR}/src/ OUTPUT_VARIABLE headers)
list(JOIN headers " " NERIDO_DOCS_INPUT)
set(NERIDO_DOCS_OUTPUT ${PROJECT_BINARY_DIR}/docs)
if(NERIDO_WERROR)
  set(NERIDO_DOCS_WARN_AS_ERROR FAIL_ON_WARNINGS)
else()
  set(NERIDO_DOCS_WARN_AS_ERROR NO)
endif()
configure_file(docs/Doxyfile.in ${PROJECT_BINARY_DIR}/Doxyfile @ONLY)
add_custom_target(docs
  COMMAND ${DOXYGEN_EXECUTABLE} ${PROJECT_BINARY_DIR}/Doxyfile
  DEPENDS ${headers} ${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${PROJECT_SOURCE_DIR}/cmake/doxygen_filter.awk
  COMMENT "API reference: ${NERIDO_DOCS_OUTPUT}/html/index.html" VERBATIM)
