# Real-time AAC playback through the stream server, and the encoder's cost.
add_executable(audio_bench ${CMAKE_CURRENT_LIST_DIR}/AudioBench.cpp)
target_include_directories(audio_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(audio_bench PRIVATE lumen_gateway lumen_audio_support lumen_media)
