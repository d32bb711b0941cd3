# The codec libraries are bound at run time: only their headers are used here,
# so that a missing library can be reported instead of stopping the loader.
target_sources(lumen_codec PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/CAvUtil.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CAvCodec.cpp
)
target_include_directories(lumen_codec PUBLIC ${FFMPEG_INCLUDE_DIRS})
target_link_libraries(lumen_codec PUBLIC lumen_platform_loader)
target_compile_definitions(lumen_codec PUBLIC __STDC_CONSTANT_MACROS)
target_sources(lumen_codec PRIVATE ${CMAKE_CURRENT_LIST_DIR}/CodecLibraryInfo.cpp)
