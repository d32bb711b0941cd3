#include "PropertyPages.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<PropertyPagesPresenter> presenter{nullptr};
} // namespace

void SetPropertyPagesPresenter(PropertyPagesPresenter p) { presenter = p; }

HRESULT ShowFilterProperties(OwnerWindow owner, std::shared_ptr<CFilter> filter) {
    if (!filter)
        return E_POINTER;
    if (filter->Kind() != FilterKind::AudioCapture)
        return E_NOINTERFACE;
    PropertyPagesPresenter show = presenter.load();
    if (!show)
        return VFW_E_WRONG_STATE;
    show(owner, std::static_pointer_cast<CCaptureFilter>(filter));
    return S_OK;
}

} // namespace platform
