# Recording and re-publishing: the tap on a real stream server, fed by the
# fieldunit program, its outputs read back with ffprobe and ffmpeg.
lumen_test(CFeedStamperTest SOURCES CFeedStamperTest.cpp LIBS lumen_record SANITIZED)
lumen_test(CFeedTapTest SOURCES CFeedTapTest.cpp
           LIBS lumen_record lumen_gateway_support lumen_e2e_support lumen_media
           SERIAL)
if(TARGET CFeedTapTest)
  target_compile_definitions(CFeedTapTest PRIVATE FIELDUNIT_PATH="$<TARGET_FILE:fieldunit>")
  add_dependencies(CFeedTapTest fieldunit)
endif()
