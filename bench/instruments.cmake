# What the operator's instruments cost at 1080p30:
#   scripts/headless.sh build/bench/instruments_bench [--seconds N]
add_executable(instruments_bench ${CMAKE_CURRENT_LIST_DIR}/BenchClock.cpp ${CMAKE_CURRENT_LIST_DIR}/InstrumentsBench.cpp)
target_link_libraries(instruments_bench PRIVATE lumen_console lumen_media lumen_http_support)
