// How the dictionary tells keys apart. A key VARIANT is reduced to an identity: numbers by
// value whatever their type (1 as I2, I4 and R8 is one key), strings by their characters
// (folded when the dictionary compares text), objects by their IUnknown identity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/ccom.h"

namespace veskhost {

struct DictionaryKey {
    enum class Kind : uint8_t { Empty, Null, Boolean, Integer, Unsigned, Real, Text, Object, Error };

    Kind kind = Kind::Empty;
    uint64_t bits = 0;        // Boolean, Integer, Unsigned, Error: the value; Real: the double's bits
    std::wstring text;        // Text
    IUnknown* object = nullptr;  // Object: the identity (kept alive by the stored key)

    bool operator==(const DictionaryKey& other) const {
        return kind == other.kind && bits == other.bits && object == other.object && text == other.text;
    }
};

struct DictionaryKeyHash {
    size_t operator()(const DictionaryKey& key) const;
};

// The identity of a key VARIANT (by-reference values followed). DISP_E_TYPEMISMATCH for a
// value that cannot be a key (an array).
HRESULT MakeDictionaryKey(const VARIANT* value, bool compareText, DictionaryKey* key);

// The text with letters folded to lower case, for case-insensitive comparison.
std::wstring FoldCase(const wchar_t* text, size_t length);

}  // namespace veskhost
