# Loading the codec libraries, and the message shown when one is missing.
add_library(lumen_platform_loader STATIC DynamicLibrary.cpp ErrorMessage.cpp)
target_link_libraries(lumen_platform_loader PUBLIC ${CMAKE_DL_LIBS} Qt6::Widgets)
