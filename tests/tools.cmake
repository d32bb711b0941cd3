# The field unit simulator: its parts, and the program itself run as a child
# process against a plain listener on 127.0.0.1.
lumen_test(FieldUnitTest
  SOURCES FieldUnitTest.cpp FieldListener.cpp FieldMedia.cpp
  LIBS lumen_fieldunit lumen_media lumen_codec PkgConfig::FFMPEG_TOOLS)
if(TARGET FieldUnitTest)
  target_compile_definitions(FieldUnitTest PRIVATE FIELDUNIT_PATH="$<TARGET_FILE:fieldunit>")
  add_dependencies(FieldUnitTest fieldunit)
endif()
