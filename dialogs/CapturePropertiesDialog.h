// The studio source's properties: a modal dialog with the device, its format
// and buffer, its state and its counters, which move while it is open.
#pragma once

#include "return/CCapture.h"

#include <functional>
#include <optional>

class QWidget;

// What the source does now; nothing once its connection has gone.
using CaptureStatusReader = std::function<std::optional<CCapture::Status>()>;

// GUI thread only; returns when the dialog closes. Once read gives nothing,
// the dialog shows the last status it had, no longer connected.
void ShowCapturePropertiesDialog(QWidget* owner, const CaptureStatusReader& read,
                                 CCapture::Status first);
