include(${CMAKE_CURRENT_LIST_DIR}/tonecheck.cmake)

# fieldunit: the field unit simulator. A tool, not the studio: it links FFmpeg
# (demuxing, transcoding) and SDL (playing the return audio) directly. Its
# classes form a library of their own so that tests can reach them.
add_library(lumen_fieldunit STATIC
  fieldunit/CAudioTranscoder.cpp
  fieldunit/CConnector.cpp
  fieldunit/CDigitFont.cpp
  fieldunit/CFieldUnit.cpp
  fieldunit/CFileSource.cpp
  fieldunit/CLog.cpp
  fieldunit/COptions.cpp
  fieldunit/CPacer.cpp
  fieldunit/CReadAhead.cpp
  fieldunit/CPatternSource.cpp
  fieldunit/CReturnPlayer.cpp
  fieldunit/CReturnReceiver.cpp
  fieldunit/CReturnTone.cpp
  fieldunit/CStatusLine.cpp
  fieldunit/CStreamSender.cpp
  fieldunit/CTestPattern.cpp
  fieldunit/CToneGenerator.cpp
  fieldunit/CVideoTranscoder.cpp
  fieldunit/CWavWriter.cpp
)
target_link_libraries(lumen_fieldunit PUBLIC lumen_media lumen_codec lumen_core lumen_platform_sdl
                                             lumen_tonecheck PkgConfig::FFMPEG_TOOLS PkgConfig::SDL2
                                             Threads::Threads)

add_executable(fieldunit fieldunit/main.cpp)
target_link_libraries(fieldunit PRIVATE lumen_fieldunit)
# The project's version, for --version.
target_compile_definitions(fieldunit PRIVATE LUMEN_VERSION="${PROJECT_VERSION}")
set_target_properties(fieldunit PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
