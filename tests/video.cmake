# Pictures on a real video surface, looked at by the video tests.
add_library(lumen_video_support STATIC support/VideoCheck.cpp)
target_include_directories(lumen_video_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(lumen_video_support PUBLIC lumen_media Qt6::Widgets GTest::gtest lumen_platform)

lumen_test(CVideoDecoderTest SOURCES CVideoDecoderTest.cpp
           LIBS lumen_codec lumen_media)
lumen_test(VideoSurfaceTest SOURCES VideoSurfaceTest.cpp
           LIBS lumen_platform_video lumen_codec lumen_video_support lumen_media)
lumen_test(CVideoRendererTest SOURCES CVideoRendererTest.cpp
           LIBS lumen_gateway lumen_platform_video lumen_video_support lumen_media)
