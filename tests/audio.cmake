# Test support for audio: the measures of a tone, and a recorder of what a
# sink of the test sound server plays.
add_library(lumen_audio_support STATIC
  ${CMAKE_CURRENT_LIST_DIR}/support/ToneMeasure.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/MonitorRecorder.cpp
)
target_link_libraries(lumen_audio_support PUBLIC lumen_platform_audio lumen_test_support)

lumen_test(CAudioEncoderTest SOURCES CAudioEncoderTest.cpp LIBS lumen_codec lumen_audio_support lumen_media)
# Both record what Studio_Out plays: each must be alone on it.
lumen_test(AudioOutTest SOURCES AudioOutTest.cpp LIBS lumen_platform_audio lumen_audio_support lumen_media
           SANITIZED SERIAL)
lumen_test(CAudioRendererTest SOURCES CAudioRendererTest.cpp LIBS lumen_gateway lumen_audio_support lumen_media
           SANITIZED SERIAL)
lumen_test(PlayoutControlTest SOURCES PlayoutControlTest.cpp LIBS lumen_platform_audio)
