# The operator's forms, driven with Qt Test under Xvfb.
function(lumen_qt_test name)
  if(LUMEN_SANITIZE)
    return()
  endif()
  add_executable(${name} ${ARGN})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_link_libraries(${name} PRIVATE lumen_console lumen_test_support Qt6::Test)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS unit TIMEOUT 300)
endfunction()

lumen_qt_test(TMainFormTest TMainFormTest.cpp)
