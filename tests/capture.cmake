lumen_test(CBufferTest SOURCES CBufferTest.cpp LIBS lumen_capture)
lumen_test(CAudioInTest SOURCES CAudioInTest.cpp LIBS lumen_capture lumen_codec SANITIZED)
lumen_test(CCaptureTest SOURCES CCaptureTest.cpp LIBS lumen_capture lumen_codec lumen_console_dialogs SANITIZED)
lumen_test(CNetworkTest SOURCES CNetworkTest.cpp LIBS lumen_gateway_support lumen_capture lumen_media
           lumen_console_dialogs SANITIZED)
