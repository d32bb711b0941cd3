# The field unit simulator: its parts, and the program itself run as a child
# process against a plain listener on 127.0.0.1.
lumen_test(FieldUnitTest
  SOURCES FieldUnitTest.cpp FieldListener.cpp FieldProcess.cpp FieldMedia.cpp
  LIBS lumen_fieldunit PkgConfig::FFMPEG_TOOLS)
if(TARGET FieldUnitTest)
  target_compile_definitions(FieldUnitTest PRIVATE FIELDUNIT_PATH="$<TARGET_FILE:fieldunit>")
  add_dependencies(FieldUnitTest fieldunit)
endif()
