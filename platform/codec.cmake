# Loading the codec libraries, and the message shown when one is missing
# (through the console's message box where it installed one).
add_library(lumen_platform_loader STATIC DynamicLibrary.cpp ErrorMessage.cpp)
target_link_libraries(lumen_platform_loader PUBLIC ${CMAKE_DL_LIBS})
