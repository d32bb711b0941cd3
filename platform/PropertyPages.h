// The property pages of a capture filter. This layer knows no windows: the
// console installs the dialog that shows them; without one there are none.
#pragma once

#include "CaptureGraph.h"

#include <memory>

namespace platform {

// Shows a modal dialog, captioned with the filter's name in its graph, with
// the device's properties, and returns when it closes. GUI thread only.
using PropertyPagesPresenter = void (*)(OwnerWindow owner,
                                        std::shared_ptr<CCaptureFilter> filter);

// Null takes the dialog away again.
void SetPropertyPagesPresenter(PropertyPagesPresenter presenter);

// GUI thread only. The dialog keeps the filter for as long as it is open, so
// the filter's graph may go away meanwhile. S_OK once the dialog has closed;
// E_NOINTERFACE for a filter without property pages; E_POINTER for none;
// VFW_E_WRONG_STATE when no dialog was installed to show them in.
HRESULT ShowFilterProperties(OwnerWindow owner, std::shared_ptr<CFilter> filter);

} // namespace platform
