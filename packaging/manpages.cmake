# Writes the man pages into OUT: vrax-studio(1) from the program's own
# --help (with each command's help), vrax(1) from its page here, and the
# compressed changelog. Run at build time, so the pages never drift from
# what the program says.
#   cmake -DSTUDIO=… -DHELP2MAN=… -DSOURCE=… -DOUT=… -DVERSION=… -P manpages.cmake
file(MAKE_DIRECTORY ${OUT})
set(empty ${OUT}/empty)
file(MAKE_DIRECTORY ${empty})

set(include "")
foreach(command render play)
  execute_process(COMMAND ${STUDIO} ${command} --help WORKING_DIRECTORY ${empty}
    OUTPUT_VARIABLE help RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "vrax-studio ${command} --help failed")
  endif()
  string(TOUPPER ${command} title)
  # roff reads a leading dot or quote as a request; escape them.
  string(REGEX REPLACE "\n([.'])" "\n\\\\&\\1" help "${help}")
  string(APPEND include "[COMMAND ${title}]\n.nf\n${help}\n.fi\n\n")
endforeach()
file(WRITE ${OUT}/commands.h2m "${include}")

execute_process(
  COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1
          --name "make pictures for music with VRAX shader pairs"
          --include ${OUT}/commands.h2m --output ${OUT}/vrax-studio.1 ${STUDIO}
  WORKING_DIRECTORY ${empty} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed")
endif()
# The folder --help names is this build's; the page names the installed one.
file(READ ${OUT}/vrax-studio.1 page)
string(REGEX REPLACE "\\(here: [^)]*\\)" "(installed: /usr/share/vrax/Shaders)" page "${page}")
file(WRITE ${OUT}/vrax-studio.1 "${page}")

configure_file(${SOURCE}/packaging/vrax.1 ${OUT}/vrax.1 @ONLY)
configure_file(${SOURCE}/packaging/changelog ${OUT}/changelog COPYONLY)
foreach(f vrax-studio.1 vrax.1 changelog)
  execute_process(COMMAND gzip -9nf ${OUT}/${f} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${f} failed")
  endif()
endforeach()
