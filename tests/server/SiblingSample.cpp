// A sibling DLL for loader tests: hands out a class object for one class only.
#include <windows.h>
#include <ole2.h>

namespace {
const CLSID kSampleClass = {0x2B0E3F7A, 0x51C4, 0x4E7D, {0x9A, 0x11, 0x6C, 0x3D, 0x20, 0x8F, 0x44, 0x01}};

// A static object: its counts never matter.
struct SampleFactory : IClassFactory {
    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        bool known = iid == IID_IUnknown || iid == IID_IClassFactory;
        *ppv = known ? this : nullptr;
        return known ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown*, REFIID, void** ppv) override { return *ppv = nullptr, E_NOTIMPL; }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
} g_factory;
}  // namespace

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** ppv) {
    if (clsid == kSampleClass) return g_factory.QueryInterface(iid, ppv);
    *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}
