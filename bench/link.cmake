# What the listener hears on a real link: lumenfeed driven in its window,
# fieldunit streaming its tone, the sound recorded from the test sinks.
#   scripts/headless.sh build/bench/link_audio_bench [--seconds N] [--scenario NAME]
if(NOT TARGET link_audio_bench)
  add_executable(link_audio_bench ${CMAKE_CURRENT_LIST_DIR}/LinkAudioBench.cpp
                                  ${CMAKE_CURRENT_LIST_DIR}/CMonitorTap.cpp)
  target_link_libraries(link_audio_bench PRIVATE lumen_tonecheck lumen_e2e_support
                        lumen_test_support lumen_capture lumen_media)
  target_compile_definitions(link_audio_bench PRIVATE
    LUMENFEED_PATH="$<TARGET_FILE:lumenfeed>"
    FIELDUNIT_PATH="$<TARGET_FILE:fieldunit>")
  set_target_properties(link_audio_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  add_dependencies(link_audio_bench lumenfeed fieldunit)
endif()
