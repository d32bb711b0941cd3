# Test support for audio: AAC made and decoded with the system's FFmpeg, and a
# recorder of what a sink of the test sound server plays.
add_library(lumen_aac_support STATIC
  ${CMAKE_CURRENT_LIST_DIR}/support/AacMaker.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/MonitorRecorder.cpp
)
target_link_libraries(lumen_aac_support PUBLIC PkgConfig::FFMPEG_TOOLS lumen_platform_audio lumen_test_support)

lumen_test(CAudioEncoderTest SOURCES CAudioEncoderTest.cpp LIBS lumen_codec lumen_aac_support)
lumen_test(AudioOutTest SOURCES AudioOutTest.cpp LIBS lumen_platform_audio lumen_aac_support SANITIZED)
lumen_test(CAudioRendererTest SOURCES CAudioRendererTest.cpp LIBS lumen_gateway lumen_aac_support SANITIZED)
lumen_test(PlayoutControlTest SOURCES PlayoutControlTest.cpp LIBS lumen_platform_audio)
