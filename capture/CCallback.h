// The sample grabber's callback interface with everything but BufferCB
// answered. Objects of derived classes are owned by their creator, not by
// reference counts.
#pragma once

#include "platform/ComTypes.h"

class CCallback : public ISampleGrabberCB {
public:
    // E_POINTER for a null out pointer; the object itself for IUnknown and
    // ISampleGrabberCB; E_NOTIMPL for anything else.
    HRESULT QueryInterface(REFIID riid, void** object) override;
    // Neither counts nor frees.
    uint32_t AddRef() override { return 1; }
    uint32_t Release() override { return 0; }
    // Not selected by the graph; does nothing.
    HRESULT SampleCB(double sampleTime, IMediaSample* sample) override;

protected:
    ~CCallback() = default;
};
