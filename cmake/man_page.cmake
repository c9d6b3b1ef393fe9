# Script mode (cmake -P): one man page from PROGRAM --help with help2man. Each of
# SUBCOMMANDS (comma-separated, or FROM_HELP: those PROGRAM --help lists) gets a
# section made from "PROGRAM SUB --help", and INCLUDE adds the hand-written sections.
get_filename_component(dir ${PROGRAM} DIRECTORY)
get_filename_component(exe ${PROGRAM} NAME)
# Run by name from PATH, so the page shows "tavrix-cli", not the build folder's path.
set(ENV{PATH} "${dir}:$ENV{PATH}")
set(ENV{LC_ALL} C.UTF-8)
set(ENV{QT_QPA_PLATFORM} offscreen)
# Sanitizer builds: a leak or race report at exit is not what the page is made from.
set(ENV{ASAN_OPTIONS} detect_leaks=0)
set(ENV{TSAN_OPTIONS} report_bugs=0)

file(READ ${INCLUDE} extra)
if(SUBCOMMANDS STREQUAL "FROM_HELP")
  # The commands that --help lists, so a new command gets its section unasked.
  execute_process(COMMAND ${exe} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${exe} --help failed (${rc})")
  endif()
  string(REGEX MATCH "
Subcommands:
(  [^
]+
)+" block "${help}")
  string(REGEX MATCHALL "
  [a-z][a-z0-9-]*" subs "${block}")
  list(TRANSFORM subs STRIP)
  if(NOT subs)
    message(FATAL_ERROR "${exe} --help lists no subcommand")
  endif()
elseif(SUBCOMMANDS)
  string(REPLACE "," ";" subs "${SUBCOMMANDS}")
endif()
if(subs)
  set(text "[COMMANDS]\n")
  foreach(sub IN LISTS subs)
    execute_process(COMMAND ${exe} ${sub} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${exe} ${sub} --help failed (${rc})")
    endif()
    # Verbatim roff: backslashes escaped, a leading dot or quote kept as text.
    string(REPLACE "\\" "\\e" help "${help}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
    string(APPEND text ".SS \"${exe} ${sub}\"\n.nf\n${help}.fi\n")
  endforeach()
  set(extra "${text}${extra}")
endif()
set(merged ${OUTPUT}.h2m)
file(WRITE ${merged} "${extra}")

execute_process(
  COMMAND ${HELP2MAN} --no-info --no-discard-stderr --version-string=${VERSION}
          --name=${DESCRIPTION} --include=${merged} --output=${OUTPUT} ${exe}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${exe} (${rc})")
endif()
