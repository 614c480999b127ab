// An owned registry key handle (closed on destruction).
#pragma once

#include <utility>

#include "platform/win.h"

class RegistryKey {
public:
    RegistryKey() = default;
    explicit RegistryKey(HKEY key) : key(key) {}
    ~RegistryKey() { reset(); }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    RegistryKey(RegistryKey&& other) noexcept : key(std::exchange(other.key, nullptr)) {}
    RegistryKey& operator=(RegistryKey&& other) noexcept {
        if (this != &other) {
            reset();
            key = std::exchange(other.key, nullptr);
        }
        return *this;
    }

    HKEY get() const { return key; }
    explicit operator bool() const { return key != nullptr; }
    // Closes the held key (if any) and returns the address for an API that
    // opens a new one.
    HKEY* receive() {
        reset();
        return &key;
    }
    void reset() {
        if (key) RegCloseKey(std::exchange(key, nullptr));
    }

private:
    HKEY key = nullptr;
};
