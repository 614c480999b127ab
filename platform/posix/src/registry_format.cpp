#include "registry_format.h"

#include <cstdint>

namespace dvrt {
namespace {

const char hexDigits[] = "0123456789abcdef";

std::string escapeName(const std::wstring& name) {
    std::string out = "=";
    for (unsigned char c : toUtf8(name)) {
        if (c < 0x21 || c > 0x7E || c == '%' || c == '\\' || c == '=') {
            out += '%';
            out += hexDigits[c >> 4];
            out += hexDigits[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool unescapeName(const std::string& token, std::wstring* out) {
    if (token.empty() || token[0] != '=') return false;
    std::string bytes;
    for (size_t i = 1; i < token.size(); ++i) {
        const char c = token[i];
        if (c == '%') {
            if (i + 2 >= token.size()) return false;
            const int hi = hexValue(token[i + 1]);
            const int lo = hexValue(token[i + 2]);
            if (hi < 0 || lo < 0) return false;
            bytes += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7E ||
                   c == '\\' || c == '=') {
            return false;
        } else {
            bytes += c;
        }
    }
    *out = fromUtf8(bytes);
    return true;
}

std::vector<std::string> splitSpaces(const std::string& line) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= line.size()) {
        const size_t end = line.find(' ', start);
        parts.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return parts;
}

bool parseNumber(const std::string& text, uint64_t limit, uint64_t* out) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > limit) return false;
    }
    *out = v;
    return true;
}

void writeKey(const Key& key, const std::string& path, std::string* out, size_t* records) {
    if (!path.empty()) {
        *out += "K " + path + "\n";
        ++*records;
    }
    for (const Value& v : key.values) {
        *out += "V " + escapeName(v.name) + " " + std::to_string(v.type) + " " +
                std::to_string(v.data.size()) + " =";
        for (BYTE b : v.data) {
            *out += hexDigits[b >> 4];
            *out += hexDigits[b & 15];
        }
        *out += "\n";
        ++*records;
    }
    for (const auto& entry : key.subkeys) {
        const std::string name = escapeName(entry.second->name);
        writeKey(*entry.second, path.empty() ? name : path + "\\" + name.substr(1), out, records);
    }
}

}  // namespace

std::string serialise(const Key& root) {
    std::string out = "DVREG 1\n";
    size_t records = 0;
    writeKey(root, std::string(), &out, &records);
    out += "END " + std::to_string(records) + "\n";
    return out;
}

bool parse(const std::string& text, Key* root) {
    Key parsed;
    Key* current = &parsed;
    size_t pos = 0;
    size_t records = 0;
    bool header = false;
    bool ended = false;
    while (pos < text.size()) {
        const size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) return false;  // every line ends with a newline
        const std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        if (ended) return false;  // nothing after the trailer
        if (!header) {
            if (line != "DVREG 1") return false;
            header = true;
            continue;
        }
        const std::vector<std::string> parts = splitSpaces(line);
        if (parts[0] == "END") {
            uint64_t count = 0;
            if (parts.size() != 2 || !parseNumber(parts[1], UINT64_MAX / 10, &count) || count != records)
                return false;
            ended = true;
        } else if (parts[0] == "K") {
            if (parts.size() != 2 || parts[1].size() < 2 || parts[1][0] != '=') return false;
            current = &parsed;
            // Components are separated by a raw '\', which escaped names never contain.
            const std::string& path = parts[1];
            size_t start = 1;
            size_t depth = 0;
            while (true) {
                if (++depth > maxKeyDepth) return false;  // deeper than any store this code writes
                const size_t sep = path.find('\\', start);
                std::wstring name;
                if (!unescapeName(
                        "=" + path.substr(start, sep == std::string::npos ? std::string::npos : sep - start),
                        &name) ||
                    name.empty() || name.size() > maxKeyNameChars) {
                    return false;
                }
                auto& slot = current->subkeys[upperCase(name)];
                if (!slot) {
                    slot = std::make_unique<Key>();
                    slot->name = name;
                }
                current = slot.get();
                if (sep == std::string::npos) break;
                start = sep + 1;
            }
            ++records;
        } else if (parts[0] == "V") {
            std::wstring name;
            uint64_t type = 0;
            uint64_t length = 0;
            if (parts.size() != 5 || !unescapeName(parts[1], &name) || name.size() > maxValueNameChars ||
                !parseNumber(parts[2], UINT32_MAX, &type) || !parseNumber(parts[3], maxFileBytes, &length) ||
                parts[4].empty() || parts[4][0] != '=' || parts[4].size() != 1 + 2 * length) {
                return false;
            }
            Value v;
            v.name = name;
            v.type = static_cast<DWORD>(type);
            v.data.resize(length);
            for (size_t i = 0; i < length; ++i) {
                const int hi = hexValue(parts[4][1 + 2 * i]);
                const int lo = hexValue(parts[4][2 + 2 * i]);
                if (hi < 0 || lo < 0) return false;
                v.data[i] = static_cast<BYTE>(hi * 16 + lo);
            }
            if (Value* existing = current->value(name)) {
                *existing = std::move(v);
            } else {
                current->values.push_back(std::move(v));
            }
            ++records;
        } else {
            return false;
        }
    }
    if (!header || !ended) return false;
    *root = std::move(parsed);
    return true;
}

}  // namespace dvrt
