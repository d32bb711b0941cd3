#include "CCallback.h"

HRESULT CCallback::QueryInterface(REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ISampleGrabberCB) {
        *object = static_cast<ISampleGrabberCB*>(this);
        return S_OK;
    }
    return E_NOTIMPL;
}

HRESULT CCallback::SampleCB(double, IMediaSample*) {
    return S_OK;
}
