# What recording and one SRT publication cost a 1080p30 feed, and what their
# queues drop in a minute:
#   scripts/headless.sh build/bench/record_bench [--seconds 60] [--path-seconds 20]
add_executable(record_bench ${CMAKE_CURRENT_LIST_DIR}/BenchClock.cpp ${CMAKE_CURRENT_LIST_DIR}/RecordBench.cpp)
target_link_libraries(record_bench PRIVATE lumen_record lumen_gateway_support lumen_platform_video
                      lumen_e2e_support lumen_camera_clip lumen_media lumen_test_support
                      Qt6::Widgets)
set_target_properties(record_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
