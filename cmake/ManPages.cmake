# Man pages made at build time from each program's own --help (help2man), so a page
# can never drift from the program it describes. Hand-written sections (FILES,
# EXAMPLES, SEE ALSO) come from data/man/<name>.h2m.
option(TAVRIX_MAN_PAGES "Make the man pages from the programs' --help (needs help2man)" ON)
if(TAVRIX_MAN_PAGES)
  find_program(TAVRIX_HELP2MAN help2man REQUIRED)
endif()

# tavrix_man_page(<name> DESCRIPTION <text> [PROGRAM <path>]
#                 [SUBCOMMANDS FROM_HELP | <sub>...] [DEPENDS <target-or-file>...])
# <name> is the executable target unless PROGRAM names another file to run.
function(tavrix_man_page name)
  if(NOT TAVRIX_MAN_PAGES)
    return()
  endif()
  cmake_parse_arguments(M "" "DESCRIPTION;PROGRAM" "SUBCOMMANDS;DEPENDS" ${ARGN})
  set(page ${CMAKE_BINARY_DIR}/man/${name}.1)
  set(include ${PROJECT_SOURCE_DIR}/data/man/${name}.h2m)
  set(deps ${M_DEPENDS} ${include} ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake)
  if(M_PROGRAM)
    set(program ${M_PROGRAM})
  else()
    set(program $<TARGET_FILE:${name}>)
    list(APPEND deps ${name})
  endif()
  string(REPLACE ";" "," subcommands "${M_SUBCOMMANDS}")
  add_custom_command(
    OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${TAVRIX_HELP2MAN} -DPROGRAM=${program} -DNAME=${name}
            "-DDESCRIPTION=${M_DESCRIPTION}" -DVERSION=${PROJECT_VERSION}
            -DSUBCOMMANDS=${subcommands} -DINCLUDE=${include} -DOUTPUT=${page}
            -P ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
    DEPENDS ${deps}
    COMMENT "Man page ${name}.1 from ${name} --help"
    VERBATIM)
  add_custom_target(man_${name} ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
