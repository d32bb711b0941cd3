# A client of the metrics endpoint, shared by the tests and the benchmark.
add_library(lumen_http_support STATIC ${CMAKE_CURRENT_LIST_DIR}/support/HttpExchange.cpp)
target_link_libraries(lumen_http_support PUBLIC lumen_test_support)

lumen_test(InstrumentsTest SOURCES InstrumentsTest.cpp
           LIBS lumen_console lumen_media lumen_http_support)
lumen_test(LinkStatisticsTest SOURCES LinkStatisticsTest.cpp
           LIBS lumen_instruments lumen_platform_video lumen_video_support lumen_media)

# The instruments of the real program, scraped and seen on the screen.
lumen_test(InstrumentsLinkTest
  SOURCES e2e/InstrumentsLinkTest.cpp e2e/PictureChecks.cpp e2e/MediaFiles.cpp
  LIBS lumen_e2e_support lumen_http_support lumen_media PkgConfig::FFMPEG_TOOLS
  SERIAL LABEL e2e)
if(TARGET InstrumentsLinkTest)
  target_compile_definitions(InstrumentsLinkTest PRIVATE
    LUMENFEED_PATH="$<TARGET_FILE:lumenfeed>"
    FIELDUNIT_PATH="$<TARGET_FILE:fieldunit>"
    LUMEN_E2E_ARTIFACTS="${CMAKE_BINARY_DIR}/artifacts")
  add_dependencies(InstrumentsLinkTest lumenfeed fieldunit)
endif()
