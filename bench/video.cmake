# Camera-like H.264 clips, shared by the video benchmarks.
add_library(lumen_camera_clip STATIC ${CMAKE_CURRENT_LIST_DIR}/CameraClip.cpp)
target_include_directories(lumen_camera_clip PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(lumen_camera_clip PUBLIC lumen_media)

# The whole video path against libavcodec alone: ./scripts/headless.sh build/bench/video_bench
add_executable(video_bench ${CMAKE_CURRENT_LIST_DIR}/BenchClock.cpp ${CMAKE_CURRENT_LIST_DIR}/VideoBench.cpp)
target_link_libraries(video_bench PRIVATE lumen_gateway_support lumen_platform_video lumen_media
                      lumen_test_support lumen_camera_clip PkgConfig::FFMPEG_TOOLS)
