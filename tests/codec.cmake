lumen_test(CAvCodecTest SOURCES CAvCodecTest.cpp LIBS lumen_codec Qt6::Widgets)
