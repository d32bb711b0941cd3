# The video surface: a Qt OpenGL widget that converts and stretches pictures.
add_library(lumen_platform_video STATIC ${CMAKE_CURRENT_LIST_DIR}/VideoSurface.cpp)
set_target_properties(lumen_platform_video PROPERTIES AUTOMOC ON)
target_link_libraries(lumen_platform_video PUBLIC Qt6::Widgets Qt6::OpenGL Qt6::OpenGLWidgets)
