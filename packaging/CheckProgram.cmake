# Checks that what the package says of a program agrees with the program:
# --version prints "NAME VERSION" and succeeds, and the manual page describes
# exactly the options that --help lists.
#   cmake -DPROGRAM=path -DNAME=name -DVERSION=x.y.z -DPAGE=path/name.1.in -P CheckProgram.cmake
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${PROGRAM} --version OUTPUT_VARIABLE told RESULT_VARIABLE code)
if(NOT code EQUAL 0 OR NOT told STREQUAL "${NAME} ${VERSION}\n")
  message(FATAL_ERROR "${NAME} --version printed '${told}' and returned ${code}, "
                      "not '${NAME} ${VERSION}' and 0")
endif()

execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE code)
if(NOT code EQUAL 0)
  message(FATAL_ERROR "${NAME} --help returned ${code}")
endif()
string(REGEX MATCHALL "--[a-z][a-z-]*" listed "${help}")
list(REMOVE_DUPLICATES listed)

# The options the page describes: the headings of its .TP paragraphs, where
# roff writes a hyphen as \-.
file(READ ${PAGE} page)
string(REGEX MATCHALL "\\.TP\n\\.B[IR]?[^\n]*" headings "${page}")
string(REPLACE "\\-" "-" headings "${headings}")
string(REGEX MATCHALL "--[a-z][a-z-]*" described "${headings}")

foreach(option IN LISTS listed)
  if(NOT option IN_LIST described)
    message(SEND_ERROR "${PAGE} does not describe ${option}: add a .TP paragraph for it")
  endif()
endforeach()
foreach(option IN LISTS described)
  if(NOT option IN_LIST listed)
    message(SEND_ERROR "${PAGE} describes ${option}, which '${NAME} --help' does not list")
  endif()
endforeach()
