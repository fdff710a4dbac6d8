// The host's UTF-8 <-> UTF-32 conversions on arbitrary input: counts agree with the
// null-destination query for every destination size, nothing is written past the given
// size (each destination is an exact-size heap block, so the address checker sees any
// overrun), truncated output is a prefix of the full output, and valid text round-trips.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/runtime.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// The destination sizes worth trying: all of them for short results, else the edges.
std::vector<size_t> sizes_for(size_t full) {
    std::vector<size_t> sizes;
    if (full <= 64) {
        for (size_t s = 0; s <= full + 1; ++s) sizes.push_back(s);
    } else {
        for (size_t s : {size_t(0), size_t(1), size_t(2), size_t(3), size_t(4), size_t(5), full / 2, full - 3,
                         full - 2, full - 1, full, full + 1})
            sizes.push_back(s);
    }
    return sizes;
}

std::wstring decode(const char* utf8) {
    const size_t n = utf8_utf32(nullptr, 0, utf8);
    std::wstring out(n + 1, L'\0');
    check(utf8_utf32(out.data(), out.size(), utf8) == n);
    out.resize(n);
    return out;
}

std::string encode(const wchar_t* text) {
    const size_t n = utf32_utf8(nullptr, 0, text);
    std::string out(n, '\0');
    check(utf32_utf8(out.data(), out.size(), text) == n);
    out.pop_back();  // the NUL
    return out;
}

void fuzz_utf8_input(const std::string& input) {
    const std::wstring full = decode(input.c_str());
    for (size_t size : sizes_for(full.size() + 1)) {
        std::vector<wchar_t> dst(size);
        check(utf8_utf32(size ? dst.data() : nullptr, size, input.c_str()) == full.size());
        if (size == 0) continue;
        const size_t written = std::min(size - 1, full.size());
        check(dst[written] == 0);
        check(std::wmemcmp(dst.data(), full.data(), written) == 0);
    }
    // Text without a replacement character was valid, and valid text comes back unchanged.
    if (full.find(wchar_t(0xFFFD)) == std::wstring::npos) check(encode(full.c_str()) == input);
}

void fuzz_utf32_input(const std::wstring& input) {
    const std::string full = encode(input.c_str());
    for (size_t size : sizes_for(full.size() + 1)) {
        std::vector<char> dst(size);
        check(utf32_utf8(size ? dst.data() : nullptr, size, input.c_str()) == full.size() + 1);
        if (size == 0) continue;
        const size_t written = std::strlen(dst.data());
        check(written < size && written <= full.size());
        check(std::memcmp(dst.data(), full.data(), written) == 0);
        // The cut falls on a character boundary, as late as the size allows.
        check(written == full.size() || (static_cast<unsigned char>(full[written]) & 0xC0) != 0x80);
        size_t next = written + 1;
        while (next < full.size() && (static_cast<unsigned char>(full[next]) & 0xC0) == 0x80) ++next;
        check(written == full.size() || next + 1 > size);
    }
    // Scalar values survive the trip through UTF-8.
    std::wstring scalars;
    for (wchar_t c : input) {
        const uint32_t v = uint32_t(c) % 0x110000u;
        if (v != 0 && (v < 0xD800 || v > 0xDFFF)) scalars.push_back(wchar_t(v));
    }
    check(decode(encode(scalars.c_str()).c_str()) == scalars);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    fuzz_utf8_input(bytes.substr(0, bytes.find('\0')));
    std::wstring units(size / sizeof(wchar_t), L'\0');
    std::memcpy(units.data(), data, units.size() * sizeof(wchar_t));
    fuzz_utf32_input(units.substr(0, units.find(L'\0')));
    return 0;
}
