// Reads a libFuzzer input as a stream of small decisions. Reading past the end
// yields zeros, so every input, however short, drives one whole scenario.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data(data), size(size) {}

    uint8_t byte() { return offset < size ? data[offset++] : 0; }

    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t(byte()) << (8 * i);
        return v;
    }

    int32_t i32() { return static_cast<int32_t>(u32()); }

    // One of `count` choices (count > 0).
    size_t pick(size_t count) { return byte() % count; }

    bool flag() { return byte() & 1; }

    // Up to `limit` bytes, length first.
    std::vector<uint8_t> bytes(size_t limit) {
        const size_t n = limit ? byte() % (limit + 1) : 0;
        std::vector<uint8_t> out;
        out.reserve(n);
        for (size_t i = 0; i < n; ++i)
            out.push_back(byte());
        return out;
    }

    // Text up to `limit` bytes, no terminator inside.
    std::string text(size_t limit) {
        std::string out;
        for (uint8_t b : bytes(limit))
            out += static_cast<char>(b ? b : 'z');
        return out;
    }

    // What has not been read yet.
    std::vector<uint8_t> rest() {
        std::vector<uint8_t> out(data + (offset < size ? offset : size), data + size);
        offset = size;
        return out;
    }

    bool exhausted() const { return offset >= size; }

private:
    const uint8_t* data;
    size_t size;
    size_t offset = 0;
};
