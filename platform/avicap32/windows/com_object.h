// The IUnknown of the COM objects the program makes itself (callbacks that
// Media Foundation and DirectShow call on their own threads): one interface,
// reference counted, deleted with its last reference.
#pragma once

#include <windows.h>

namespace standin {

template <class Interface, const IID& kInterfaceId>
class ComObject : public Interface {
public:
    virtual ~ComObject() = default;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == kInterfaceId) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ULONG(InterlockedIncrement(&references_)); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return ULONG(left);
    }

private:
    LONG references_ = 1;  // the maker's
};

}  // namespace standin
