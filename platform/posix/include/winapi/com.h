// COM basics for the POSIX build: IUnknown and the few OLE interfaces the
// system calls, task memory, strings, variants and class activation.
#pragma once

#include "winapi/types.h"

DEFINE_GUID(GUID_NULL, 0x00000000, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00);
#define IID_NULL GUID_NULL
#define CLSID_NULL GUID_NULL
DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IPersist, 0x0000010c, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IPersistStream, 0x00000109, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IStream, 0x0000000c, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IBindCtx, 0x0000000e, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IMoniker, 0x0000000f, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IEnumMoniker, 0x00000102, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IDispatch, 0x00020400, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IPropertyBag, 0x55272A00, 0x42CB, 0x11CE, 0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51);
DEFINE_GUID(IID_IErrorLog, 0x3127CA40, 0x446E, 0x11CE, 0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51);
DEFINE_GUID(IID_IPersistPropertyBag, 0x37D84F60, 0x42CB, 0x11CE, 0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8,
            0x51);

struct IUnknown {
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) PURE;
    STDMETHOD_(ULONG, AddRef)() PURE;
    STDMETHOD_(ULONG, Release)() PURE;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : IUnknown {
    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID riid, void** ppv) PURE;
    STDMETHOD(LockServer)(BOOL lock) PURE;
};

struct IPersist : IUnknown {
    STDMETHOD(GetClassID)(CLSID* clsid) PURE;
};

// Opaque to this system: only passed through.
struct IStream;
struct IBindCtx;
struct IErrorLog;
struct ITypeInfo;
struct DISPPARAMS;
struct EXCEPINFO;
typedef LONG DISPID;

struct IPersistStream : IPersist {
    STDMETHOD(IsDirty)() PURE;
    STDMETHOD(Load)(IStream* stream) PURE;
    STDMETHOD(Save)(IStream* stream, BOOL clearDirty) PURE;
    STDMETHOD(GetSizeMax)(ULARGE_INTEGER* size) PURE;
};

struct IEnumMoniker;
struct IMoniker : IPersistStream {
    STDMETHOD(BindToObject)(IBindCtx* bc, IMoniker* toLeft, REFIID riid, void** ppv) PURE;
    STDMETHOD(BindToStorage)(IBindCtx* bc, IMoniker* toLeft, REFIID riid, void** ppv) PURE;
    STDMETHOD(Reduce)(IBindCtx* bc, DWORD howFar, IMoniker** toLeft, IMoniker** reduced) PURE;
    STDMETHOD(ComposeWith)(IMoniker* right, BOOL onlyIfNotGeneric, IMoniker** composite) PURE;
    STDMETHOD(Enum)(BOOL forward, IEnumMoniker** enumMoniker) PURE;
    STDMETHOD(IsEqual)(IMoniker* other) PURE;
    STDMETHOD(Hash)(DWORD* hash) PURE;
    STDMETHOD(IsRunning)(IBindCtx* bc, IMoniker* toLeft, IMoniker* newlyRunning) PURE;
    STDMETHOD(GetTimeOfLastChange)(IBindCtx* bc, IMoniker* toLeft, FILETIME* time) PURE;
    STDMETHOD(Inverse)(IMoniker** inverse) PURE;
    STDMETHOD(CommonPrefixWith)(IMoniker* other, IMoniker** prefix) PURE;
    STDMETHOD(RelativePathTo)(IMoniker* other, IMoniker** relPath) PURE;
    STDMETHOD(GetDisplayName)(IBindCtx* bc, IMoniker* toLeft, LPOLESTR* displayName) PURE;
    STDMETHOD(ParseDisplayName)
    (IBindCtx* bc, IMoniker* toLeft, LPOLESTR displayName, ULONG* eaten, IMoniker** out) PURE;
    STDMETHOD(IsSystemMoniker)(DWORD* mksys) PURE;
};

struct IEnumMoniker : IUnknown {
    STDMETHOD(Next)(ULONG count, IMoniker** out, ULONG* fetched) PURE;
    STDMETHOD(Skip)(ULONG count) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IEnumMoniker** out) PURE;
};

enum VARENUM : unsigned short {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_BOOL = 11,
    VT_UNKNOWN = 13,
    VT_UI1 = 17,
    VT_UI4 = 19,
    VT_INT = 22,
    VT_UINT = 23,
    VT_ARRAY = 0x2000,
};

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1, wReserved2, wReserved3;
    union {
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        VARIANT_BOOL boolVal;
        BSTR bstrVal;
        IUnknown* punkVal;
        ULONG ulVal;
        INT intVal;
        UINT uintVal;
        void* byref;
    };
};
typedef VARIANT VARIANTARG;

struct IPropertyBag : IUnknown {
    STDMETHOD(Read)(LPCOLESTR name, VARIANT* value, IErrorLog* log) PURE;
    STDMETHOD(Write)(LPCOLESTR name, VARIANT* value) PURE;
};

struct IPersistPropertyBag : IPersist {
    STDMETHOD(InitNew)() PURE;
    STDMETHOD(Load)(IPropertyBag* bag, IErrorLog* log) PURE;
    STDMETHOD(Save)(IPropertyBag* bag, BOOL clearDirty, BOOL saveAllProperties) PURE;
};

struct IDispatch : IUnknown {
    STDMETHOD(GetTypeInfoCount)(UINT* count) PURE;
    STDMETHOD(GetTypeInfo)(UINT index, LCID lcid, ITypeInfo** info) PURE;
    STDMETHOD(GetIDsOfNames)(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) PURE;
    STDMETHOD(Invoke)
    (DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
     UINT* argErr) PURE;
};

struct CAUUID {
    ULONG cElems;
    GUID* pElems;
};

enum CLSCTX {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_REMOTE_SERVER = 0x10,
};
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

enum COINIT {
    COINIT_MULTITHREADED = 0x0,
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_DISABLE_OLE1DDE = 0x4,
};

typedef HRESULT(STDAPICALLTYPE* LPFNGETCLASSOBJECT)(REFCLSID, REFIID, void**);
typedef HRESULT(STDAPICALLTYPE* LPFNCANUNLOADNOW)();

// ---- runtime services (implemented by the platform library) -----------
DVAPI void* CoTaskMemAlloc(SIZE_T size);
DVAPI void* CoTaskMemRealloc(void* block, SIZE_T size);
DVAPI void CoTaskMemFree(void* block);
DVAPI HRESULT CoInitialize(void* reserved);
DVAPI HRESULT CoInitializeEx(void* reserved, DWORD coInit);
DVAPI void CoUninitialize();
// Activates in-process classes the way Windows does: the runtime's own classes,
// else HKCR\CLSID\{clsid}\InprocServer32 -> dlopen -> DllGetClassObject.
DVAPI HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsContext, REFIID riid, void** ppv);
DVAPI HRESULT CoGetClassObject(REFCLSID clsid, DWORD clsContext, void* serverInfo, REFIID riid, void** ppv);
// Unloads libraries loaded by class activation whose DllCanUnloadNow answers S_OK.
DVAPI void CoFreeUnusedLibraries();
DVAPI int StringFromGUID2(REFGUID guid, LPOLESTR out, int maxChars);
DVAPI HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* out);
DVAPI HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID out);
DVAPI BSTR SysAllocString(const OLECHAR* text);
DVAPI BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
DVAPI void SysFreeString(BSTR text);
DVAPI UINT SysStringLen(BSTR text);
DVAPI void VariantInit(VARIANT* value);
DVAPI HRESULT VariantClear(VARIANT* value);
DVAPI HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
