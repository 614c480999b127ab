#include "framework/device_enumeration.h"

#include "platform/com_ptr.h"

HRESULT forEachVideoInputDevice(ICreateDevEnum* devices, const VideoInputVisitor& visit) {
    if (!devices) return E_POINTER;
    ComPtr<IEnumMoniker> category;
    HRESULT hr = devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, category.GetAddressOf(), 0);
    if (hr != S_OK || !category) return hr;
    for (;;) {
        ComPtr<IMoniker> moniker;
        ULONG fetched = 0;
        hr = category->Next(1, moniker.GetAddressOf(), &fetched);
        if (hr != S_OK || fetched != 1 || !moniker) break;
        ComPtr<IPropertyBag> bag;
        if (FAILED(moniker->BindToStorage(nullptr, nullptr, iidOf<IPropertyBag>(),
                                          reinterpret_cast<void**>(bag.GetAddressOf()))))
            bag.Reset();
        VARIANT name;
        VariantInit(&name);
        const bool named = bag && SUCCEEDED(bag->Read(L"FriendlyName", &name, nullptr)) &&
                           name.vt == VT_BSTR && name.bstrVal;
        visit(moniker.Get(), bag.Get(), named ? name.bstrVal : nullptr);
        VariantClear(&name);
    }
    return hr;
}

HRESULT forEachVideoInputDevice(const VideoInputVisitor& visit) {
    ComPtr<ICreateDevEnum> devices;
    const HRESULT hr =
        CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, iidOf<ICreateDevEnum>(),
                         reinterpret_cast<void**>(devices.GetAddressOf()));
    if (FAILED(hr)) return hr;
    if (!devices) return E_UNEXPECTED;
    return forEachVideoInputDevice(devices.Get(), visit);
}
