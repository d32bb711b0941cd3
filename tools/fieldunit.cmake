# fieldunit: the field unit simulator. A tool, not the studio: it links FFmpeg
# (demuxing, transcoding) and SDL (playing the return audio) directly.
add_executable(fieldunit
  fieldunit/main.cpp
  fieldunit/CAacDecoder.cpp
  fieldunit/CAacEncoder.cpp
  fieldunit/CAdtsHeader.cpp
  fieldunit/CAudioTranscoder.cpp
  fieldunit/CConnector.cpp
  fieldunit/CDigitFont.cpp
  fieldunit/CFieldUnit.cpp
  fieldunit/CFileSource.cpp
  fieldunit/CH264Encoder.cpp
  fieldunit/CLog.cpp
  fieldunit/COptions.cpp
  fieldunit/CPacer.cpp
  fieldunit/CPatternSource.cpp
  fieldunit/CReturnPlayer.cpp
  fieldunit/CReturnReceiver.cpp
  fieldunit/CStatusLine.cpp
  fieldunit/CStreamSender.cpp
  fieldunit/CTestPattern.cpp
  fieldunit/CToneGenerator.cpp
  fieldunit/CVideoTranscoder.cpp
  fieldunit/CWavWriter.cpp
)
target_link_libraries(fieldunit PRIVATE lumen_core lumen_platform_sdl PkgConfig::FFMPEG_TOOLS
                                        PkgConfig::SDL2 Threads::Threads)
set_target_properties(fieldunit PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
