# Audio capture as a graph of filters over the sound system's capture; the
# capture device's property dialog is the console's.
add_library(lumen_platform_capture STATIC
  ${CMAKE_CURRENT_LIST_DIR}/CaptureGraph.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PropertyPages.cpp
)
target_link_libraries(lumen_platform_capture PUBLIC lumen_platform_audio)
