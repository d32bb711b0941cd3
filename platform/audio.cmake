# Wave-style audio output over SDL.
add_library(lumen_platform_audio STATIC ${CMAKE_CURRENT_LIST_DIR}/AudioOut.cpp)
target_link_libraries(lumen_platform_audio PUBLIC lumen_platform_sdl)
