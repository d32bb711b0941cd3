# scripts/headless.sh build/bench/return_audio_bench [--seconds 60]
add_executable(return_audio_bench ${CMAKE_CURRENT_LIST_DIR}/ReturnAudioBench.cpp)
target_link_libraries(return_audio_bench PRIVATE lumen_gateway_support lumen_capture lumen_media
                      lumen_platform_sdl)
