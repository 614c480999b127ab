// V4L2 capture nodes for the device enumerator: the system-call table, the
// listing of capture nodes, and their monikers. A V4L2 moniker carries its
// property bag in memory ("FriendlyName", "CLSID", "DevicePath"); binding it
// creates CLSID_DvV4l2CaptureSource through ordinary activation and loads the
// bag into it, so this library knows nothing of the source itself.
#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "device_moniker.h"
#include "platform/v4l2_io.h"
#include "runtime.h"

namespace {

class SystemV4l2Io final : public V4l2Io {
public:
    std::vector<std::string> listNodes() override {
        std::vector<std::string> nodes;
        // The test launcher points DV_V4L2_DEVICE_DIR at an empty folder, so
        // that the machine's own cameras never join a test's device list.
        const char* override = std::getenv("DV_V4L2_DEVICE_DIR");  // NOLINT(concurrency-mt-unsafe): read only
        const std::string path = override && *override ? override : "/dev";
        DIR* folder = opendir(path.c_str());
        if (!folder) return nodes;
        // readdir is safe on a stream no other thread sees.
        while (const dirent* entry = readdir(folder)) {  // NOLINT(concurrency-mt-unsafe)
            if (std::strncmp(entry->d_name, "video", 5) == 0) nodes.push_back(path + "/" + entry->d_name);
        }
        closedir(folder);
        return nodes;
    }
    int openNode(const char* path, int flags) override { return ::open(path, flags | O_CLOEXEC); }
    int closeNode(int fd) override { return ::close(fd); }
    int ioctlNode(int fd, unsigned long request, void* arg) override {
        int result;
        do {
            result = ::ioctl(fd, request, arg);
        } while (result == -1 && errno == EINTR);
        return result;
    }
    void* mapBuffer(size_t length, int fd, off_t offset) override {
        return ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    }
    int unmapBuffer(void* address, size_t length) override { return ::munmap(address, length); }
    int pollNode(int fd, short events, short* revents, int timeoutMs) override {
        pollfd entry{fd, events, 0};
        const int result = ::poll(&entry, 1, timeoutMs);
        if (revents) *revents = entry.revents;
        return result;
    }
};

SystemV4l2Io systemIo;
std::atomic<V4l2Io*> installedIo{nullptr};

// The number after "video" in the node's name; -1 when it is not all digits.
long nodeNumber(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    if (name.size() <= 5 || name.compare(0, 5, "video") != 0) return -1;
    const std::string digits = name.substr(5);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        digits.size() > 9)
        return -1;
    return std::strtol(digits.c_str(), nullptr, 10);
}

// Private: answered by V4L2 monikers only, to compare their nodes.
DEFINE_GUID(IID_DvV4l2MonikerNode, 0x5e0d7a31, 0x41b6, 0x4c0f, 0x8a, 0x7d, 0x2f, 0x93, 0x16, 0xc4, 0x0b,
            0x6e);

class NodePropertyBag final : public dvrt::PropertyBagBase {
public:
    explicit NodePropertyBag(const V4l2CaptureNode& node) : node(node) {}
    // "FriendlyName" (the card name), "CLSID" and "DevicePath" as VT_BSTR;
    // other names HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), as the registry's
    // bags answer.
    STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog* /*log*/) override {
        if (!name || !value) return E_POINTER;
        std::wstring text;
        const std::wstring key(name);
        if (key == L"FriendlyName")
            text = dvrt::fromUtf8(node.card);
        else if (key == L"CLSID")
            text = dvrt::guidString(CLSID_DvV4l2CaptureSource);
        else if (key == L"DevicePath")
            text = dvrt::fromUtf8(node.path);
        else
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        return answerString(text, value);
    }
    // The bag describes a device node: nothing can be written to it.
    STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) override {
        if (!name || !value) return E_POINTER;
        return E_ACCESSDENIED;
    }

private:
    ~NodePropertyBag() override = default;
    const V4l2CaptureNode node;
};

class V4l2Moniker final : public dvrt::DeviceMonikerBase {
public:
    explicit V4l2Moniker(const V4l2CaptureNode& node)
        : DeviceMonikerBase(IID_DvV4l2MonikerNode, CLSID_DvV4l2CaptureSource), node(node) {}

    // Creates the capture source and loads this moniker's bag into it; the
    // activation's failure (REGDB_E_CLASSNOTREG when the source's library is
    // not registered) or the source's Load failure is returned.
    STDMETHODIMP BindToObject(IBindCtx*, IMoniker*, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        ComPtr<IPersistPropertyBag> persist;
        HRESULT hr =
            CoCreateInstance(CLSID_DvV4l2CaptureSource, nullptr, CLSCTX_INPROC_SERVER,
                             IID_IPersistPropertyBag, reinterpret_cast<void**>(persist.GetAddressOf()));
        if (FAILED(hr)) return hr;
        ComPtr<IPropertyBag> bag;
        hr = BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(bag.GetAddressOf()));
        if (SUCCEEDED(hr)) hr = persist->Load(bag.Get(), nullptr);
        if (FAILED(hr)) return hr;
        return persist->QueryInterface(riid, ppv);
    }
    STDMETHODIMP BindToStorage(IBindCtx*, IMoniker*, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        auto* bag = new (std::nothrow) NodePropertyBag(node);
        if (!bag) return E_OUTOFMEMORY;
        return dvrt::handOut(bag, riid, ppv);
    }
    // "@device:v4l2:/dev/videoN".
    STDMETHODIMP GetDisplayName(IBindCtx*, IMoniker*, LPOLESTR* name) override {
        if (!name) return E_POINTER;
        *name = dvrt::taskString(L"@device:v4l2:" + dvrt::fromUtf8(node.path));
        return *name ? S_OK : E_OUTOFMEMORY;
    }

private:
    bool sameAs(const dvrt::DeviceMonikerBase& peer) const override {
        return static_cast<const V4l2Moniker&>(peer).node.path == node.path;
    }
    ~V4l2Moniker() override = default;
    const V4l2CaptureNode node;
};

}  // namespace

V4l2Io* dvV4l2Io() {
    V4l2Io* io = installedIo.load(std::memory_order_acquire);
    return io ? io : &systemIo;
}

V4l2Io* dvSetV4l2IoForTesting(V4l2Io* io) {
    return installedIo.exchange(io, std::memory_order_acq_rel);
}

std::vector<V4l2CaptureNode> dvListV4l2CaptureNodes() {
    V4l2Io* io = dvV4l2Io();
    std::vector<std::pair<long, std::string>> numbered;
    for (const std::string& path : io->listNodes()) {
        const long number = nodeNumber(path);
        if (number >= 0) numbered.emplace_back(number, path);
    }
    std::sort(numbered.begin(), numbered.end());
    std::vector<V4l2CaptureNode> nodes;
    for (const auto& [number, path] : numbered) {
        const int fd = io->openNode(path.c_str(), O_RDWR | O_NONBLOCK);
        if (fd < 0) continue;
        v4l2_capability caps{};
        const int result = io->ioctlNode(fd, VIDIOC_QUERYCAP, &caps);
        io->closeNode(fd);
        if (result != 0) continue;
        const uint32_t device =
            (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
        if ((device & V4L2_CAP_VIDEO_CAPTURE) == 0 || (device & V4L2_CAP_STREAMING) == 0) continue;
        const char* card = reinterpret_cast<const char*>(caps.card);
        nodes.push_back({path, std::string(card, strnlen(card, sizeof caps.card))});
    }
    return nodes;
}

namespace dvrt {

HRESULT createV4l2Moniker(const V4l2CaptureNode& node, IMoniker** out) {
    if (!out) return E_POINTER;
    *out = new (std::nothrow) V4l2Moniker(node);
    return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace dvrt
