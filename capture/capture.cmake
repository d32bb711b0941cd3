target_sources(lumen_capture PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/CDevice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CBaseCapture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CCapture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CCallback.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CAudioIn.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CBuffer.cpp
)
target_link_libraries(lumen_capture PUBLIC lumen_platform_capture)
