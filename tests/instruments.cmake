# A client of the metrics endpoint, shared by the tests and the benchmark.
add_library(lumen_http_support STATIC ${CMAKE_CURRENT_LIST_DIR}/support/HttpExchange.cpp)
target_link_libraries(lumen_http_support PUBLIC lumen_test_support)

lumen_test(InstrumentsTest SOURCES InstrumentsTest.cpp
           LIBS lumen_console lumen_aac_support lumen_http_support)
lumen_test(LinkStatisticsTest SOURCES LinkStatisticsTest.cpp
           LIBS lumen_instruments lumen_platform_video lumen_h264_support lumen_aac_support SANITIZED)

