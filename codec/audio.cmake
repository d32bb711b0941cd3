# AAC decoding and playback on the audio output layer.
target_sources(lumen_codec PRIVATE ${CMAKE_CURRENT_LIST_DIR}/CAudioDecoder.cpp)
target_link_libraries(lumen_codec PUBLIC lumen_platform_audio)
