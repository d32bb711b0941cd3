# What a live picture costs lumenfeed beside ffplay and GStreamer, each fed
# the same paced clip over 127.0.0.1:
#   scripts/headless.sh build/bench/peer_bench [--seconds 12] [--only lumenfeed]
# Needs ffmpeg (ffplay), gstreamer1.0-tools, -plugins-base, -plugins-good, -bad,
# -libav and -x at run time; a receiver that is missing shows as failed. The
# pictures that reach the screen are counted through the X server's damage
# reports (libxdamage-dev).
pkg_check_modules(XDAMAGE IMPORTED_TARGET x11 xdamage)
if(TARGET lumen_e2e_support AND TARGET lumen_camera_clip AND TARGET lumenfeed AND XDAMAGE_FOUND)
  add_executable(peer_bench ${CMAKE_CURRENT_LIST_DIR}/PeerBench.cpp)
  target_link_libraries(peer_bench PRIVATE lumen_e2e_support lumen_camera_clip lumen_media lumen_test_support
                        PkgConfig::XDAMAGE)
  target_compile_definitions(peer_bench PRIVATE LUMENFEED_PATH="$<TARGET_FILE:lumenfeed>")
  add_dependencies(peer_bench lumenfeed)
endif()
