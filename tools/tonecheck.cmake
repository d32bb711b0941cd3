# The tone check: what a listener hears wrong with a steady test tone. Plain
# C++, shared by fieldunit and the benchmarks.
add_library(lumen_tonecheck STATIC ${CMAKE_CURRENT_LIST_DIR}/tonecheck/CToneCheck.cpp)
