# Lip sync on a real link: lumenfeed driven in its window, fieldunit's flashes
# and beeps, the screen read back and Studio_Out recorded.
#   scripts/headless.sh build/bench/lipsync_bench [--events N]
find_package(X11 REQUIRED)
add_executable(lipsync_bench ${CMAKE_CURRENT_LIST_DIR}/LipSyncBench.cpp
                             ${CMAKE_CURRENT_LIST_DIR}/CMonitorTap.cpp)
target_link_libraries(lipsync_bench PRIVATE lumen_e2e_support lumen_media lumen_test_support X11::X11)
target_compile_definitions(lipsync_bench PRIVATE
  LUMENFEED_PATH="$<TARGET_FILE:lumenfeed>"
  FIELDUNIT_PATH="$<TARGET_FILE:fieldunit>")
set_target_properties(lipsync_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_dependencies(lipsync_bench lumenfeed fieldunit)
