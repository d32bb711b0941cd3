// The capture device's property pages: a modal dialog captioned with the
// filter's name in its graph, with the device, its format and buffer, its
// state and its counters, which move while the dialog is open.
#pragma once

#include "platform/CaptureGraph.h"

#include <memory>

// GUI thread only; returns when the dialog closes. The dialog keeps the
// filter, so the filter's graph may go away meanwhile.
void ShowCapturePropertiesDialog(platform::OwnerWindow owner,
                                 std::shared_ptr<platform::CCaptureFilter> capture);
