# Writes the manual page of a program from its own --help and --version, so
# that page and help text cannot drift. Run at build time:
#   cmake -DPROGRAM=exe -DNAME=... -DHELP2MAN=... -DGZIP=... -DOUTPUT=page.1.gz -P man_page.cmake
# A program whose help lists "Subcommands:" gets a SUBCOMMANDS section with
# each subcommand's --help, verbatim. The page is compressed with gzip -9n
# (no name or time stamp in the file, as Debian requires).

get_filename_component(program_name "${PROGRAM}" NAME)
set(page "${OUTPUT}")
string(REGEX REPLACE "\\.gz$" "" page "${page}")
set(include_file "${page}.include")
get_filename_component(folder "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${folder}")

execute_process(COMMAND "${PROGRAM}" --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${program_name} --help failed (status ${status})")
endif()

# The subcommands: the names in the first column of the lines that follow
# "Subcommands:", up to the next blank line.
set(subcommands "")
if(help MATCHES "\nSubcommands:\n(([^\n]+\n)*)")
  string(REGEX MATCHALL "(^|\n)  [a-z][a-z-]*" names "${CMAKE_MATCH_1}")
  foreach(name IN LISTS names)
    string(STRIP "${name}" name)
    list(APPEND subcommands "${name}")
  endforeach()
endif()

set(include_option "")
if(subcommands)
  file(WRITE "${include_file}" "[SUBCOMMANDS]\n")
  set(include_option "--include=${include_file}")
  foreach(subcommand IN LISTS subcommands)
    execute_process(COMMAND "${PROGRAM}" ${subcommand} --help OUTPUT_VARIABLE text RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${program_name} ${subcommand} --help failed (status ${status})")
    endif()
    # Verbatim roff: backslashes escaped, no line read as a request.
    string(REPLACE "\\" "\\e" text "${text}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
    file(APPEND "${include_file}" ".SS ${subcommand}\n.nf\n${text}.fi\n")
  endforeach()
endif()

execute_process(
  COMMAND "${HELP2MAN}" --no-info --section=1 "--name=${NAME}" ${include_option}
          "--output=${page}" "${PROGRAM}"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${program_name} (status ${status})")
endif()
execute_process(COMMAND "${GZIP}" -9n -c "${page}" OUTPUT_FILE "${OUTPUT}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed for ${page}")
endif()
