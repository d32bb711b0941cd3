# The stream server under load and abuse; prints figures:
#   scripts/headless.sh build/bench/stress_bench [--cycles 1000] [--rounds 5]
add_executable(stress_bench ${CMAKE_CURRENT_LIST_DIR}/StressBench.cpp)
target_link_libraries(stress_bench PRIVATE lumen_gateway_support lumen_platform_video lumen_media
                      lumen_test_support Qt6::Widgets PkgConfig::FFMPEG_TOOLS)
