# What the package installs agrees with the programs it holds: their version,
# and a manual page that describes every option and no other. Installing and
# running the package is scripts/test.sh's part.
if(NOT LUMEN_SANITIZE)
  foreach(program lumenfeed fieldunit)
    add_test(NAME Package.${program}
      COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> -DNAME=${program}
              -DVERSION=${PROJECT_VERSION} -DPAGE=${PROJECT_SOURCE_DIR}/packaging/${program}.1.in
              -P ${PROJECT_SOURCE_DIR}/packaging/CheckProgram.cmake)
    set_tests_properties(Package.${program} PROPERTIES LABELS unit)
  endforeach()
endif()
