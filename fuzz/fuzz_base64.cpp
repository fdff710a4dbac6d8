// Base64 codec: arbitrary text decodes only when it is valid, into buffers of exactly the
// announced size, and what decodes encodes back to the same groups; arbitrary bytes encode
// and decode back unchanged. Nothing is read past the given count.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "shim/codec.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

int sextet(wchar_t c) {
    static const std::wstring alphabet = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const size_t at = alphabet.find(c);
    return at == std::wstring::npos ? -1 : int(at);
}

bool is_space(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

std::wstring encode(const std::vector<BYTE>& bytes) {
    DWORD size = 0;
    static const BYTE none = 0;
    const BYTE* data = bytes.empty() ? &none : bytes.data();
    check(CryptBinaryToStringW(data, DWORD(bytes.size()), CRYPT_STRING_BASE64, nullptr, &size) == TRUE);
    check(size == (bytes.size() + 2) / 3 * 4 + 1);
    std::vector<wchar_t> text(size);
    DWORD small = size - 1;
    check(CryptBinaryToStringW(data, DWORD(bytes.size()), CRYPT_STRING_BASE64, text.data(), &small) == FALSE);
    check(small == size);
    check(CryptBinaryToStringW(data, DWORD(bytes.size()), CRYPT_STRING_BASE64, text.data(), &size) == TRUE);
    check(text[size - 1] == L'\0');
    return std::wstring(text.data(), size - 1);
}

// Decodes `text` with `count` as the codec is called, checking both buffer sizes; false when
// the codec refuses the text.
bool decode(const wchar_t* text, DWORD count, std::vector<BYTE>& bytes) {
    DWORD size = 12345;
    if (!CryptStringToBinaryW(text, count, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr)) {
        check(size == 0);
        return false;
    }
    check(size > 0);
    bytes.assign(size, 0);
    DWORD small = size - 1;
    check(CryptStringToBinaryW(text, count, CRYPT_STRING_BASE64, bytes.data(), &small, nullptr, nullptr) == FALSE);
    check(small == size);
    check(CryptStringToBinaryW(text, count, CRYPT_STRING_BASE64, bytes.data(), &size, nullptr, nullptr) == TRUE);
    check(size == bytes.size());
    return true;
}

// The codec's answer for `digits` (the text without white space): valid exactly when it is
// whole groups of four, each with two digits, then a digit or "=", then a digit or "=" (and
// "=" after "="); each group re-encodes to itself up to the pad bits of its last digit.
void check_against_groups(const std::wstring& digits, bool decoded, const std::vector<BYTE>& bytes) {
    bool valid = !digits.empty() && digits.size() % 4 == 0;
    for (size_t g = 0; valid && g < digits.size(); g += 4) {
        const wchar_t c2 = digits[g + 2], c3 = digits[g + 3];
        valid = sextet(digits[g]) >= 0 && sextet(digits[g + 1]) >= 0 && (sextet(c2) >= 0 || c2 == L'=') &&
                (sextet(c3) >= 0 || c3 == L'=') && !(c2 == L'=' && c3 != L'=');
    }
    check(decoded == valid);
    if (!decoded) return;
    size_t at = 0;
    for (size_t g = 0; g < digits.size(); g += 4) {
        const int pads = (digits[g + 2] == L'=') + (digits[g + 3] == L'=');
        const size_t length = 3 - pads;
        check(at + length <= bytes.size());
        const std::wstring again = encode(std::vector<BYTE>(bytes.begin() + at, bytes.begin() + at + length));
        const int last = 3 - pads;  // the digit that carries pad bits
        const int padMask = pads == 0 ? 0 : (pads == 1 ? 0x03 : 0x0F);
        for (int i = 0; i < 4; ++i) {
            if (i == last) {
                check(sextet(again[i]) == (sextet(digits[g + i]) & ~padMask));
            } else {
                check(again[i] == digits[g + i]);
            }
        }
        at += length;
    }
    check(at == bytes.size());
    // With padding only in the last group, the whole text comes back: all but the last group
    // exactly, the last one as checked above.
    const size_t firstPad = digits.find(L'=');
    if (firstPad == std::wstring::npos || firstPad >= digits.size() - 4) {
        const std::wstring again = encode(bytes);
        check(again.size() == digits.size());
        check(again.compare(0, digits.size() - 4, digits, 0, digits.size() - 4) == 0);
    }
}

// Maps input bytes to wide characters; two byte values stand for characters outside Latin-1,
// one of which agrees with "A" in its low bits.
std::vector<wchar_t> widen(const uint8_t* data, size_t size) {
    std::vector<wchar_t> text;
    for (size_t i = 0; i < size; ++i) {
        wchar_t c = data[i];
        if (c == 0xFE) c = 0x3000;
        if (c == 0xFD) c = 0x10041;
        text.push_back(c);
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::vector<wchar_t> text = widen(data + 1, size - 1);

    // Counted: the whole text and a prefix, in buffers with nothing after the counted part.
    const size_t prefix = text.empty() ? 0 : data[0] % (text.size() + 1);
    for (size_t count : {text.size(), prefix}) {
        if (count == 0) continue;
        const std::vector<wchar_t> exact(text.begin(), text.begin() + count);
        std::wstring digits;
        for (size_t i = 0; i < count && exact[i] != L'\0'; ++i)
            if (!is_space(exact[i])) digits += exact[i];
        std::vector<BYTE> bytes;
        check_against_groups(digits, decode(exact.data(), DWORD(count), bytes), bytes);
    }

    // Count 0: up to the NUL.
    std::vector<wchar_t> terminated(text);
    terminated.push_back(L'\0');
    std::wstring digits;
    for (size_t i = 0; terminated[i] != L'\0'; ++i)
        if (!is_space(terminated[i])) digits += terminated[i];
    std::vector<BYTE> bytes;
    check_against_groups(digits, decode(terminated.data(), 0, bytes), bytes);

    // Bytes encode and decode back unchanged.
    const std::vector<BYTE> raw(data, data + size);
    const std::wstring encoded = encode(raw);
    std::vector<BYTE> back;
    check(decode(encoded.data(), DWORD(encoded.size()), back) && back == raw);
    return 0;
}
