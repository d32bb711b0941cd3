lumen_test(CBufferTest SOURCES CBufferTest.cpp LIBS lumen_capture)
lumen_test(CAudioInTest SOURCES CAudioInTest.cpp LIBS lumen_capture SANITIZED)
lumen_test(CCaptureTest SOURCES CCaptureTest.cpp LIBS lumen_capture Qt6::Widgets SANITIZED)
lumen_test(CNetworkTest SOURCES CNetworkTest.cpp LIBS lumen_gateway_support lumen_capture lumen_media Qt6::Widgets
           SANITIZED)
