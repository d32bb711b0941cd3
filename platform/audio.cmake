# The sound system's streams (PulseAudio where a server answers, SDL
# elsewhere) and wave-style audio output over them, with the resampling that
# holds the playback queue at its target.
add_library(lumen_platform_audio STATIC
  ${CMAKE_CURRENT_LIST_DIR}/AudioSystem.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PulseAudioStream.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PlayoutControl.cpp
  ${CMAKE_CURRENT_LIST_DIR}/RateResampler.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AudioOut.cpp
)
target_link_libraries(lumen_platform_audio PUBLIC lumen_platform lumen_platform_sdl PkgConfig::PULSE PkgConfig::SPEEXDSP)
