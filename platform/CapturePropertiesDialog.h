// The property pages of a capture filter: a modal dialog captioned with the
// filter's name in its graph, showing the device's properties.
#pragma once

#include "CaptureGraph.h"

#include <memory>

namespace platform {

// GUI thread only. The dialog keeps the filter for as long as it is open, so
// the filter's graph may go away meanwhile. S_OK once the dialog has closed;
// E_NOINTERFACE for a filter without property pages; E_POINTER for none;
// VFW_E_WRONG_STATE when there is no running application to show it in.
HRESULT ShowFilterProperties(OwnerWindow owner, std::shared_ptr<CFilter> filter);

} // namespace platform
