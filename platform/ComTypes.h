// The few component-model shapes that the return audio code is written
// against: result codes, interface ids, IUnknown and the sample grabber's
// callback interface. Nothing here counts references or loads anything.
#pragma once

#include <cstdint>

using HRESULT = int32_t;

constexpr HRESULT MakeFailure(uint32_t code) {
    return static_cast<HRESULT>(code);
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = MakeFailure(0x80004001u);
constexpr HRESULT E_NOINTERFACE = MakeFailure(0x80004002u);
constexpr HRESULT E_POINTER = MakeFailure(0x80004003u);
constexpr HRESULT E_FAIL = MakeFailure(0x80004005u);
constexpr HRESULT E_OUTOFMEMORY = MakeFailure(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = MakeFailure(0x80070057u);

// Results of the capture graph.
constexpr HRESULT VFW_E_INVALIDMEDIATYPE = MakeFailure(0x80040200u);
constexpr HRESULT VFW_E_NOT_CONNECTED = MakeFailure(0x80040209u);
constexpr HRESULT VFW_E_NOT_FOUND = MakeFailure(0x80040216u);
constexpr HRESULT VFW_E_CANNOT_CONNECT = MakeFailure(0x80040217u);
constexpr HRESULT VFW_E_WRONG_STATE = MakeFailure(0x80040227u);
constexpr HRESULT VFW_E_TYPE_NOT_ACCEPTED = MakeFailure(0x8004022Au);
constexpr HRESULT VFW_E_DUPLICATE_NAME = MakeFailure(0x8004023Du);
constexpr HRESULT VFW_E_NOT_IN_GRAPH = MakeFailure(0x8004025Fu);
constexpr HRESULT VFW_E_NO_CAPTURE_HARDWARE = MakeFailure(0x80040263u);

constexpr bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
    return hr < 0;
}

struct GUID {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];

    friend bool operator==(const GUID&, const GUID&) = default;
};
using IID = GUID;
using REFIID = const IID&;

inline constexpr IID IID_IUnknown{
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_ISampleGrabberCB{
    0x0579154A, 0x2B53, 0x4994, {0xB0, 0xD0, 0xE7, 0x73, 0x14, 0x8E, 0xFF, 0x85}};

// Never defined here: the grabber only ever calls BufferCB.
struct IMediaSample;

class IUnknown {
public:
    virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

protected:
    // Objects are never destroyed through an interface pointer.
    ~IUnknown() = default;
};

class ISampleGrabberCB : public IUnknown {
public:
    virtual HRESULT SampleCB(double sampleTime, IMediaSample* sample) = 0;
    virtual HRESULT BufferCB(double sampleTime, uint8_t* buffer, int32_t length) = 0;

protected:
    ~ISampleGrabberCB() = default;
};
