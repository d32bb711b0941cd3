# The whole video path against libavcodec alone: ./scripts/headless.sh build/bench/video_bench
add_executable(video_bench ${CMAKE_CURRENT_LIST_DIR}/VideoBench.cpp)
target_link_libraries(video_bench PRIVATE lumen_gateway lumen_platform_video lumen_h264_support
                      lumen_test_support)
