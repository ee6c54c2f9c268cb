# The manual pages velto(1) and velto-caster(1), made at build time by
# Debian's help2man from the programs' own --help (help_text.sh), so that a
# page says what --help says; compressed as Debian wants them and installed
# with the tools.
set(man ${CMAKE_CURRENT_LIST_DIR})
# help2man runs the programs: a build for another machine (i386 on a kernel
# that runs no 32-bit program) has no pages.
if(NOT CMAKE_CROSSCOMPILING)
  include(CheckCXXSourceRuns)
  check_cxx_source_runs("int main() { return 0; }" VELTO_RUNS_ITS_PROGRAMS)
endif()
if(NOT VELTO_RUNS_ITS_PROGRAMS)
  message(STATUS "velto man pages: not made (help2man runs the programs, which this machine cannot)")
  return()
endif()
find_program(VELTO_HELP2MAN help2man)
find_program(VELTO_GZIP gzip)
mark_as_advanced(VELTO_HELP2MAN VELTO_GZIP)
if(NOT VELTO_HELP2MAN OR NOT VELTO_GZIP)
  message(STATUS "velto man pages: not made (needs help2man, Debian package help2man)")
  return()
endif()

# The date on the pages is the last commit's (or SOURCE_DATE_EPOCH's), so
# that the same sources give the same pages.
set(velto_man_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(NOT velto_man_epoch)
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE velto_man_epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(velto_man_date ${CMAKE_CURRENT_BINARY_DIR}/man/date)
file(CONFIGURE OUTPUT ${velto_man_date} CONTENT "${velto_man_epoch}\n")
set(velto_man_env "")
if(velto_man_epoch MATCHES "^[0-9]+$")
  set(velto_man_env SOURCE_DATE_EPOCH=${velto_man_epoch})
endif()

# velto_man_page(PROGRAM "WHAT IT IS" COMMAND...)
function(velto_man_page program what)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1)
  string(JOIN " " commands ${ARGN})
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E env ${velto_man_env}
            ${VELTO_HELP2MAN} --no-info --version-string "${program} ${PROJECT_VERSION}"
            --name "${what}" --include ${man}/${program}.h2m --output ${page}
            "sh ${man}/help_text.sh $<TARGET_FILE:${program}> ${commands}"
    COMMAND ${VELTO_GZIP} -9nf ${page}
    DEPENDS ${program} ${man}/help_text.sh ${man}/${program}.h2m ${velto_man_date}
    COMMENT "Making the manual page ${program}(1)"
    VERBATIM)
  add_custom_target(${program}_man_page ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endfunction()

set(velto_commands table stream)
if(VELTO_MONITOR)
  list(APPEND velto_commands monitor)
endif()
velto_man_page(velto "command-line NTRIP client" ${velto_commands})
velto_man_page(velto-caster "local NTRIP caster for demonstrations and tests")
