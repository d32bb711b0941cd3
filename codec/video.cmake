# The video channel's decoder. The renderer draws through the platform's video
# window interface and needs no toolkit.
target_sources(lumen_codec PRIVATE ${CMAKE_CURRENT_LIST_DIR}/CVideoDecoder.cpp)
