# Real H.264 made with libx264, shared by the video tests and the benchmark.
add_library(lumen_h264_support STATIC support/H264Maker.cpp support/VideoCheck.cpp)
target_include_directories(lumen_h264_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(lumen_h264_support PUBLIC PkgConfig::FFMPEG_TOOLS Qt6::Widgets GTest::gtest lumen_platform)

lumen_test(CVideoDecoderTest SOURCES CVideoDecoderTest.cpp
           LIBS lumen_codec lumen_h264_support)
lumen_test(VideoSurfaceTest SOURCES VideoSurfaceTest.cpp
           LIBS lumen_platform_video lumen_codec lumen_h264_support)
lumen_test(CVideoRendererTest SOURCES CVideoRendererTest.cpp
           LIBS lumen_gateway lumen_platform_video lumen_h264_support)
