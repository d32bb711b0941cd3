# Running the programs as their users do: the lumenfeed program driven through
# its window, child processes, a private directory. The end-to-end tests and
# the benchmarks that run the real programs share these.
add_library(lumen_e2e_support STATIC
  e2e/CStudioProgram.cpp
  e2e/CTempDir.cpp)
target_include_directories(lumen_e2e_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/e2e)
target_link_libraries(lumen_e2e_support PUBLIC lumen_capture lumen_media Qt6::Gui)

# The whole link run as its users run it: the lumenfeed program in a window,
# fieldunit or a test client streaming to it, pictures read from the screen.
lumen_test(StudioLinkTest
  SOURCES
    e2e/StudioLinkTest.cpp
    e2e/PictureChecks.cpp
    e2e/MediaFiles.cpp
  LIBS lumen_e2e_support lumen_capture lumen_media lumen_audio_support PkgConfig::FFMPEG_TOOLS
  SERIAL LABEL e2e)
if(TARGET StudioLinkTest)
  target_compile_definitions(StudioLinkTest PRIVATE
    LUMENFEED_PATH="$<TARGET_FILE:lumenfeed>"
    FIELDUNIT_PATH="$<TARGET_FILE:fieldunit>"
    LUMEN_E2E_ARTIFACTS="${CMAKE_BINARY_DIR}/artifacts")
  add_dependencies(StudioLinkTest lumenfeed fieldunit)
endif()
