// DirectShow interfaces, structures and GUIDs for the POSIX build, with the
// method sets and orders of the platform's headers.
#pragma once

#include "winapi/com.h"

// ---- GUIDs --------------------------------------------------------------
DEFINE_GUID(IID_IBaseFilter, 0x56a86895, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(IID_IMediaFilter, 0x56a86899, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(IID_IPin, 0x56a86891, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(IID_IEnumPins, 0x56a86892, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(IID_IEnumFilters, 0x56a86893, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(IID_IReferenceClock, 0x56a86897, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(IID_IMediaSample, 0x56a8689a, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(IID_IMemAllocator, 0x56a8689c, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(IID_IMemInputPin, 0x56a8689d, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(IID_IFilterGraph, 0x56a8689f, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(IID_IMediaEventSink, 0x56a868a2, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(IID_IQualityControl, 0x56a868a5, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(IID_IGraphBuilder, 0x56a868a9, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(IID_IMediaControl, 0x56a868b1, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(IID_IMediaEvent, 0x56a868b6, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(IID_IMediaEventEx, 0x56a868c0, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(IID_IMediaSample2, 0x36b73884, 0xc2c8, 0x11cf, 0x8b, 0x46, 0x00, 0x80, 0x5f, 0x6c, 0xef, 0x60);
DEFINE_GUID(IID_IFilterGraph2, 0x36b73882, 0xc2c8, 0x11cf, 0x8b, 0x46, 0x00, 0x80, 0x5f, 0x6c, 0xef, 0x60);
DEFINE_GUID(IID_IEnumMediaTypes, 0x89c31040, 0x846b, 0x11ce, 0x97, 0xd3, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a);
DEFINE_GUID(IID_IAMStreamConfig, 0xc6e13340, 0x30ac, 0x11d0, 0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56);
DEFINE_GUID(IID_IKsPropertySet, 0x31efac30, 0x515c, 0x11d0, 0xa9, 0xaa, 0x00, 0xaa, 0x00, 0x61, 0xbe, 0x93);
DEFINE_GUID(IID_ISpecifyPropertyPages, 0xb196b28b, 0xbab4, 0x101a, 0xb6, 0x9c, 0x00, 0xaa, 0x00, 0x34, 0x1d,
            0x07);
DEFINE_GUID(IID_IPropertyPageSite, 0xb196b28c, 0xbab4, 0x101a, 0xb6, 0x9c, 0x00, 0xaa, 0x00, 0x34, 0x1d,
            0x07);
DEFINE_GUID(IID_IPropertyPage, 0xb196b28d, 0xbab4, 0x101a, 0xb6, 0x9c, 0x00, 0xaa, 0x00, 0x34, 0x1d, 0x07);
DEFINE_GUID(IID_ICreateDevEnum, 0x29840822, 0x5b84, 0x11d0, 0xbd, 0x3b, 0x00, 0xa0, 0xc9, 0x11, 0xce, 0x86);
DEFINE_GUID(IID_IFilterMapper2, 0xb79bb0b0, 0x33c1, 0x11d1, 0xab, 0xe1, 0x00, 0xa0, 0xc9, 0x05, 0xf3, 0x75);
DEFINE_GUID(IID_IAMovieSetup, 0xa3d8cec0, 0x7e5a, 0x11cf, 0xbb, 0xc5, 0x00, 0x80, 0x5f, 0x6c, 0xef, 0x20);

DEFINE_GUID(CLSID_FilterGraph, 0xe436ebb3, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(CLSID_SystemClock, 0xe436ebb1, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(CLSID_MemoryAllocator, 0x1e651cc0, 0xb199, 0x11d0, 0x82, 0x12, 0x00, 0xc0, 0x4f, 0xc3, 0x2c,
            0x45);
DEFINE_GUID(CLSID_SystemDeviceEnum, 0x62be5d10, 0x60eb, 0x11d0, 0xbd, 0x3b, 0x00, 0xa0, 0xc9, 0x11, 0xce,
            0x86);
DEFINE_GUID(CLSID_FilterMapper2, 0xcda42200, 0xbd88, 0x11d0, 0xbd, 0x4e, 0x00, 0xa0, 0xc9, 0x11, 0xce, 0x86);
DEFINE_GUID(CLSID_VideoInputDeviceCategory, 0x860bb310, 0x5d01, 0x11d0, 0xbd, 0x3b, 0x00, 0xa0, 0xc9, 0x11,
            0xce, 0x86);
DEFINE_GUID(CLSID_LegacyAmFilterCategory, 0x083863f1, 0x70de, 0x11d0, 0xbd, 0x40, 0x00, 0xa0, 0xc9, 0x11,
            0xce, 0x86);
DEFINE_GUID(CLSID_ActiveMovieCategories, 0xda4e3da0, 0xd07d, 0x11d0, 0xbd, 0x50, 0x00, 0xa0, 0xc9, 0x11, 0xce,
            0x86);

DEFINE_GUID(MEDIATYPE_Video, 0x73646976, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71);
DEFINE_GUID(MEDIATYPE_Audio, 0x73647561, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71);
DEFINE_GUID(MEDIASUBTYPE_RGB1, 0xe436eb78, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(MEDIASUBTYPE_RGB4, 0xe436eb79, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(MEDIASUBTYPE_RGB8, 0xe436eb7a, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(MEDIASUBTYPE_RGB565, 0xe436eb7b, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(MEDIASUBTYPE_RGB555, 0xe436eb7c, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(MEDIASUBTYPE_RGB24, 0xe436eb7d, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(MEDIASUBTYPE_RGB32, 0xe436eb7e, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
DEFINE_GUID(MEDIASUBTYPE_YUY2, 0x32595559, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71);
DEFINE_GUID(FORMAT_None, 0x0f6417d6, 0xc318, 0x11d0, 0xa4, 0x3f, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96);
DEFINE_GUID(FORMAT_VideoInfo, 0x05589f80, 0xc356, 0x11ce, 0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a);
DEFINE_GUID(FORMAT_VideoInfo2, 0xf72a76a0, 0xeb0a, 0x11d0, 0xac, 0xe4, 0x00, 0x00, 0xc0, 0xcc, 0x16, 0xba);
DEFINE_GUID(PIN_CATEGORY_CAPTURE, 0xfb6c4281, 0x0353, 0x11d1, 0x90, 0x5f, 0x00, 0x00, 0xc0, 0xcc, 0x16, 0xba);
DEFINE_GUID(PIN_CATEGORY_PREVIEW, 0xfb6c4282, 0x0353, 0x11d1, 0x90, 0x5f, 0x00, 0x00, 0xc0, 0xcc, 0x16, 0xba);
DEFINE_GUID(AMPROPSETID_Pin, 0x9b00f101, 0x1567, 0x11d1, 0xb3, 0xf1, 0x00, 0xaa, 0x00, 0x37, 0x61, 0xc5);

// ---- structures -----------------------------------------------------------
struct AM_MEDIA_TYPE {
    GUID majortype;
    GUID subtype;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    ULONG lSampleSize;
    GUID formattype;
    IUnknown* pUnk;
    ULONG cbFormat;
    BYTE* pbFormat;
};

struct VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    BITMAPINFOHEADER bmiHeader;
};

struct VIDEO_STREAM_CONFIG_CAPS {
    GUID guid;
    ULONG VideoStandard;
    SIZE InputSize;
    SIZE MinCroppingSize;
    SIZE MaxCroppingSize;
    int CropGranularityX;
    int CropGranularityY;
    int CropAlignX;
    int CropAlignY;
    SIZE MinOutputSize;
    SIZE MaxOutputSize;
    int OutputGranularityX;
    int OutputGranularityY;
    int StretchTapsX;
    int StretchTapsY;
    int ShrinkTapsX;
    int ShrinkTapsY;
    LONGLONG MinFrameInterval;
    LONGLONG MaxFrameInterval;
    LONG MinBitsPerSecond;
    LONG MaxBitsPerSecond;
};

enum PIN_DIRECTION { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };
enum FILTER_STATE { State_Stopped = 0, State_Paused = 1, State_Running = 2 };

struct IBaseFilter;
struct IFilterGraph;
struct IPin;

#define MAX_PIN_NAME 128
#define MAX_FILTER_NAME 128

struct PIN_INFO {
    IBaseFilter* pFilter;
    PIN_DIRECTION dir;
    WCHAR achName[MAX_PIN_NAME];
};

struct FILTER_INFO {
    WCHAR achName[MAX_FILTER_NAME];
    IFilterGraph* pGraph;
};

struct ALLOCATOR_PROPERTIES {
    LONG cBuffers;
    LONG cbBuffer;
    LONG cbAlign;
    LONG cbPrefix;
};

struct AM_SAMPLE2_PROPERTIES {
    DWORD cbData;
    DWORD dwTypeSpecificFlags;
    DWORD dwSampleFlags;
    LONG lActual;
    REFERENCE_TIME tStart;
    REFERENCE_TIME tStop;
    DWORD dwStreamId;
    AM_MEDIA_TYPE* pMediaType;
    BYTE* pbBuffer;
    LONG cbBuffer;
};

enum AM_SAMPLE_PROPERTY_FLAGS {
    AM_SAMPLE_SPLICEPOINT = 0x1,
    AM_SAMPLE_PREROLL = 0x2,
    AM_SAMPLE_DATADISCONTINUITY = 0x4,
    AM_SAMPLE_TYPECHANGED = 0x8,
    AM_SAMPLE_TIMEVALID = 0x10,
    AM_SAMPLE_TIMEDISCONTINUITY = 0x40,
    AM_SAMPLE_FLUSH_ON_PAUSE = 0x80,
    AM_SAMPLE_STOPVALID = 0x100,
    AM_SAMPLE_ENDOFSTREAM = 0x200,
    AM_STREAM_MEDIA = 0,
    AM_STREAM_CONTROL = 1,
};

#define AM_GBF_PREVFRAMESKIPPED 1
#define AM_GBF_NOTASYNCPOINT 2
#define AM_GBF_NOWAIT 4

enum QualityMessageType { Famine = 0, Flood = 1 };
struct Quality {
    QualityMessageType Type;
    LONG Proportion;
    REFERENCE_TIME Late;
    REFERENCE_TIME TimeStamp;
};

// Event codes.
#define EC_COMPLETE 0x01
#define EC_USERABORT 0x02
#define EC_ERRORABORT 0x03
#define EC_TIME 0x04
#define EC_REPAINT 0x05
#define EC_STREAM_ERROR_STOPPED 0x06
#define EC_STREAM_ERROR_STILLPLAYING 0x07
#define EC_ERROR_STILLPLAYING 0x08
#define EC_PALETTE_CHANGED 0x09
#define EC_VIDEO_SIZE_CHANGED 0x0A
#define EC_QUALITY_CHANGE 0x0B
#define EC_SHUTTING_DOWN 0x0C
#define EC_CLOCK_CHANGED 0x0D
#define EC_PAUSED 0x0E

// Pin property set.
enum AMPROPERTY_PIN { AMPROPERTY_PIN_CATEGORY = 0, AMPROPERTY_PIN_MEDIUM = 1 };
#define KSPROPERTY_SUPPORT_GET 1
#define KSPROPERTY_SUPPORT_SET 2

// Filter registration.
#define MERIT_PREFERRED 0x800000
#define MERIT_NORMAL 0x600000
#define MERIT_UNLIKELY 0x400000
#define MERIT_DO_NOT_USE 0x200000
#define MERIT_SW_COMPRESSOR 0x100000
#define MERIT_HW_COMPRESSOR 0x100050

struct REGPINTYPES {
    const CLSID* clsMajorType;
    const CLSID* clsMinorType;
};

struct REGFILTERPINS {
    LPWSTR strName;
    BOOL bRendered;
    BOOL bOutput;
    BOOL bZero;
    BOOL bMany;
    const CLSID* clsConnectsToFilter;
    const WCHAR* strConnectsToPin;
    UINT nMediaTypes;
    const REGPINTYPES* lpMediaType;
};

struct REGPINMEDIUM {
    CLSID clsMedium;
    DWORD dw1;
    DWORD dw2;
};

enum {
    REG_PINFLAG_B_ZERO = 0x1,
    REG_PINFLAG_B_RENDERER = 0x2,
    REG_PINFLAG_B_MANY = 0x4,
    REG_PINFLAG_B_OUTPUT = 0x8,
};

struct REGFILTERPINS2 {
    DWORD dwFlags;
    UINT cInstances;
    UINT nMediaTypes;
    const REGPINTYPES* lpMediaType;
    UINT nMediums;
    const REGPINMEDIUM* lpMedium;
    const CLSID* clsPinCategory;
};

struct REGFILTER2 {
    DWORD dwVersion;
    DWORD dwMerit;
    union {
        struct {
            ULONG cPins;
            const REGFILTERPINS* rgPins;
        };
        struct {
            ULONG cPins2;
            const REGFILTERPINS2* rgPins2;
        };
    };
};

// ---- interfaces -------------------------------------------------------------
struct IEnumMediaTypes;
struct IEnumPins;
struct IEnumFilters;
struct IMediaSample;
struct IMemAllocator;
struct IReferenceClock;

typedef DWORD_PTR HEVENT;
typedef DWORD_PTR HSEMAPHORE;

struct IReferenceClock : IUnknown {
    STDMETHOD(GetTime)(REFERENCE_TIME* time) PURE;
    STDMETHOD(AdviseTime)
    (REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT event, DWORD_PTR* cookie) PURE;
    STDMETHOD(AdvisePeriodic)
    (REFERENCE_TIME startTime, REFERENCE_TIME period, HSEMAPHORE semaphore, DWORD_PTR* cookie) PURE;
    STDMETHOD(Unadvise)(DWORD_PTR cookie) PURE;
};

struct IMediaFilter : IPersist {
    STDMETHOD(Stop)() PURE;
    STDMETHOD(Pause)() PURE;
    STDMETHOD(Run)(REFERENCE_TIME start) PURE;
    STDMETHOD(GetState)(DWORD timeoutMs, FILTER_STATE* state) PURE;
    STDMETHOD(SetSyncSource)(IReferenceClock* clock) PURE;
    STDMETHOD(GetSyncSource)(IReferenceClock** clock) PURE;
};

struct IBaseFilter : IMediaFilter {
    STDMETHOD(EnumPins)(IEnumPins** out) PURE;
    STDMETHOD(FindPin)(LPCWSTR id, IPin** out) PURE;
    STDMETHOD(QueryFilterInfo)(FILTER_INFO* info) PURE;
    STDMETHOD(JoinFilterGraph)(IFilterGraph* graph, LPCWSTR name) PURE;
    STDMETHOD(QueryVendorInfo)(LPWSTR* vendorInfo) PURE;
};

struct IPin : IUnknown {
    STDMETHOD(Connect)(IPin* receiver, const AM_MEDIA_TYPE* mt) PURE;
    STDMETHOD(ReceiveConnection)(IPin* connector, const AM_MEDIA_TYPE* mt) PURE;
    STDMETHOD(Disconnect)() PURE;
    STDMETHOD(ConnectedTo)(IPin** pin) PURE;
    STDMETHOD(ConnectionMediaType)(AM_MEDIA_TYPE* mt) PURE;
    STDMETHOD(QueryPinInfo)(PIN_INFO* info) PURE;
    STDMETHOD(QueryDirection)(PIN_DIRECTION* dir) PURE;
    STDMETHOD(QueryId)(LPWSTR* id) PURE;
    STDMETHOD(QueryAccept)(const AM_MEDIA_TYPE* mt) PURE;
    STDMETHOD(EnumMediaTypes)(IEnumMediaTypes** out) PURE;
    STDMETHOD(QueryInternalConnections)(IPin** pins, ULONG* count) PURE;
    STDMETHOD(EndOfStream)() PURE;
    STDMETHOD(BeginFlush)() PURE;
    STDMETHOD(EndFlush)() PURE;
    STDMETHOD(NewSegment)(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) PURE;
};

struct IEnumPins : IUnknown {
    STDMETHOD(Next)(ULONG count, IPin** pins, ULONG* fetched) PURE;
    STDMETHOD(Skip)(ULONG count) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IEnumPins** out) PURE;
};

struct IEnumMediaTypes : IUnknown {
    STDMETHOD(Next)(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) PURE;
    STDMETHOD(Skip)(ULONG count) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IEnumMediaTypes** out) PURE;
};

struct IEnumFilters : IUnknown {
    STDMETHOD(Next)(ULONG count, IBaseFilter** filters, ULONG* fetched) PURE;
    STDMETHOD(Skip)(ULONG count) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IEnumFilters** out) PURE;
};

struct IMediaSample : IUnknown {
    STDMETHOD(GetPointer)(BYTE** buffer) PURE;
    STDMETHOD_(LONG, GetSize)() PURE;
    STDMETHOD(GetTime)(REFERENCE_TIME* start, REFERENCE_TIME* end) PURE;
    STDMETHOD(SetTime)(REFERENCE_TIME* start, REFERENCE_TIME* end) PURE;
    STDMETHOD(IsSyncPoint)() PURE;
    STDMETHOD(SetSyncPoint)(BOOL syncPoint) PURE;
    STDMETHOD(IsPreroll)() PURE;
    STDMETHOD(SetPreroll)(BOOL preroll) PURE;
    STDMETHOD_(LONG, GetActualDataLength)() PURE;
    STDMETHOD(SetActualDataLength)(LONG length) PURE;
    STDMETHOD(GetMediaType)(AM_MEDIA_TYPE** mt) PURE;
    STDMETHOD(SetMediaType)(AM_MEDIA_TYPE* mt) PURE;
    STDMETHOD(IsDiscontinuity)() PURE;
    STDMETHOD(SetDiscontinuity)(BOOL discontinuity) PURE;
    STDMETHOD(GetMediaTime)(LONGLONG* start, LONGLONG* end) PURE;
    STDMETHOD(SetMediaTime)(LONGLONG* start, LONGLONG* end) PURE;
};

struct IMediaSample2 : IMediaSample {
    STDMETHOD(GetProperties)(DWORD size, BYTE* properties) PURE;
    STDMETHOD(SetProperties)(DWORD size, const BYTE* properties) PURE;
};

struct IMemAllocator : IUnknown {
    STDMETHOD(SetProperties)(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) PURE;
    STDMETHOD(GetProperties)(ALLOCATOR_PROPERTIES* props) PURE;
    STDMETHOD(Commit)() PURE;
    STDMETHOD(Decommit)() PURE;
    STDMETHOD(GetBuffer)(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end, DWORD flags) PURE;
    STDMETHOD(ReleaseBuffer)(IMediaSample* sample) PURE;
};

struct IMemInputPin : IUnknown {
    STDMETHOD(GetAllocator)(IMemAllocator** allocator) PURE;
    STDMETHOD(NotifyAllocator)(IMemAllocator* allocator, BOOL readOnly) PURE;
    STDMETHOD(GetAllocatorRequirements)(ALLOCATOR_PROPERTIES* props) PURE;
    STDMETHOD(Receive)(IMediaSample* sample) PURE;
    STDMETHOD(ReceiveMultiple)(IMediaSample** samples, LONG count, LONG* processed) PURE;
    STDMETHOD(ReceiveCanBlock)() PURE;
};

struct IQualityControl : IUnknown {
    STDMETHOD(Notify)(IBaseFilter* self, Quality q) PURE;
    STDMETHOD(SetSink)(IQualityControl* sink) PURE;
};

struct IFilterGraph : IUnknown {
    STDMETHOD(AddFilter)(IBaseFilter* filter, LPCWSTR name) PURE;
    STDMETHOD(RemoveFilter)(IBaseFilter* filter) PURE;
    STDMETHOD(EnumFilters)(IEnumFilters** out) PURE;
    STDMETHOD(FindFilterByName)(LPCWSTR name, IBaseFilter** filter) PURE;
    STDMETHOD(ConnectDirect)(IPin* out, IPin* in, const AM_MEDIA_TYPE* mt) PURE;
    STDMETHOD(Reconnect)(IPin* pin) PURE;
    STDMETHOD(Disconnect)(IPin* pin) PURE;
    STDMETHOD(SetDefaultSyncSource)() PURE;
};

struct IGraphBuilder : IFilterGraph {
    STDMETHOD(Connect)(IPin* out, IPin* in) PURE;
    STDMETHOD(Render)(IPin* out) PURE;
    STDMETHOD(RenderFile)(LPCWSTR file, LPCWSTR playList) PURE;
    STDMETHOD(AddSourceFilter)(LPCWSTR fileName, LPCWSTR filterName, IBaseFilter** filter) PURE;
    STDMETHOD(SetLogFile)(DWORD_PTR file) PURE;
    STDMETHOD(Abort)() PURE;
    STDMETHOD(ShouldOperationContinue)() PURE;
};

struct IFilterGraph2 : IGraphBuilder {
    STDMETHOD(AddSourceFilterForMoniker)
    (IMoniker* moniker, IBindCtx* ctx, LPCWSTR filterName, IBaseFilter** filter) PURE;
    STDMETHOD(ReconnectEx)(IPin* pin, const AM_MEDIA_TYPE* mt) PURE;
    STDMETHOD(RenderEx)(IPin* pin, DWORD flags, DWORD* context) PURE;
};

struct IMediaControl : IDispatch {
    STDMETHOD(Run)() PURE;
    STDMETHOD(Pause)() PURE;
    STDMETHOD(Stop)() PURE;
    STDMETHOD(GetState)(LONG timeoutMs, OAFilterState* state) PURE;
    STDMETHOD(RenderFile)(BSTR file) PURE;
    STDMETHOD(AddSourceFilter)(BSTR file, IDispatch** unk) PURE;
    STDMETHOD(get_FilterCollection)(IDispatch** unk) PURE;
    STDMETHOD(get_RegFilterCollection)(IDispatch** unk) PURE;
    STDMETHOD(StopWhenReady)() PURE;
};

struct IMediaEvent : IDispatch {
    STDMETHOD(GetEventHandle)(OAEVENT* event) PURE;
    STDMETHOD(GetEvent)(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG timeoutMs) PURE;
    STDMETHOD(WaitForCompletion)(LONG timeoutMs, LONG* code) PURE;
    STDMETHOD(CancelDefaultHandling)(LONG code) PURE;
    STDMETHOD(RestoreDefaultHandling)(LONG code) PURE;
    STDMETHOD(FreeEventParams)(LONG code, LONG_PTR param1, LONG_PTR param2) PURE;
};

struct IMediaEventSink : IUnknown {
    STDMETHOD(Notify)(LONG code, LONG_PTR param1, LONG_PTR param2) PURE;
};

struct IAMStreamConfig : IUnknown {
    STDMETHOD(SetFormat)(AM_MEDIA_TYPE* mt) PURE;
    STDMETHOD(GetFormat)(AM_MEDIA_TYPE** mt) PURE;
    STDMETHOD(GetNumberOfCapabilities)(int* count, int* size) PURE;
    STDMETHOD(GetStreamCaps)(int index, AM_MEDIA_TYPE** mt, BYTE* caps) PURE;
};

struct IKsPropertySet : IUnknown {
    STDMETHOD(Set)
    (REFGUID propSet, DWORD id, LPVOID instanceData, DWORD instanceLength, LPVOID propertyData,
     DWORD dataLength) PURE;
    STDMETHOD(Get)
    (REFGUID propSet, DWORD id, LPVOID instanceData, DWORD instanceLength, LPVOID propertyData,
     DWORD dataLength, DWORD* returned) PURE;
    STDMETHOD(QuerySupported)(REFGUID propSet, DWORD id, DWORD* typeSupport) PURE;
};

struct ISpecifyPropertyPages : IUnknown {
    STDMETHOD(GetPages)(CAUUID* pages) PURE;
};

struct PROPPAGEINFO {
    ULONG cb;
    LPOLESTR pszTitle;
    SIZE size;
    LPOLESTR pszDocString;
    LPOLESTR pszHelpFile;
    DWORD dwHelpContext;
};

struct IPropertyPageSite : IUnknown {
    STDMETHOD(OnStatusChange)(DWORD flags) PURE;
    STDMETHOD(GetLocaleID)(LCID* lcid) PURE;
    STDMETHOD(GetPageContainer)(IUnknown** container) PURE;
    STDMETHOD(TranslateAccelerator)(MSG* msg) PURE;
};

#define PROPPAGESTATUS_DIRTY 0x1
#define PROPPAGESTATUS_VALIDATE 0x2
#define PROPPAGESTATUS_CLEAN 0x4

struct IPropertyPage : IUnknown {
    STDMETHOD(SetPageSite)(IPropertyPageSite* site) PURE;
    STDMETHOD(Activate)(HWND parent, LPCRECT rect, BOOL modal) PURE;
    STDMETHOD(Deactivate)() PURE;
    STDMETHOD(GetPageInfo)(PROPPAGEINFO* info) PURE;
    STDMETHOD(SetObjects)(ULONG count, IUnknown** objects) PURE;
    STDMETHOD(Show)(UINT cmdShow) PURE;
    STDMETHOD(Move)(LPCRECT rect) PURE;
    STDMETHOD(IsPageDirty)() PURE;
    STDMETHOD(Apply)() PURE;
    STDMETHOD(Help)(LPCOLESTR helpDir) PURE;
    STDMETHOD(TranslateAccelerator)(MSG* msg) PURE;
};

struct ICreateDevEnum : IUnknown {
    STDMETHOD(CreateClassEnumerator)(REFCLSID category, IEnumMoniker** out, DWORD flags) PURE;
};

struct IEnumRegFilters;
struct IFilterMapper2 : IUnknown {
    STDMETHOD(CreateCategory)(REFCLSID category, DWORD merit, LPCWSTR description) PURE;
    STDMETHOD(UnregisterFilter)(const CLSID* category, LPCOLESTR instance, REFCLSID filter) PURE;
    STDMETHOD(RegisterFilter)
    (REFCLSID filter, LPCWSTR name, IMoniker** moniker, const CLSID* category, LPCOLESTR instance,
     const REGFILTER2* rf2) PURE;
    STDMETHOD(EnumMatchingFilters)
    (IEnumMoniker** out, DWORD flags, BOOL exactMatch, DWORD merit, BOOL inputNeeded, DWORD inputTypes,
     const GUID* inputTypeArray, const REGPINMEDIUM* medIn, const CLSID* pinCategoryIn, BOOL render,
     BOOL outputNeeded, DWORD outputTypes, const GUID* outputTypeArray, const REGPINMEDIUM* medOut,
     const CLSID* pinCategoryOut) PURE;
};

struct IAMovieSetup : IUnknown {
    STDMETHOD(Register)() PURE;
    STDMETHOD(Unregister)() PURE;
};
