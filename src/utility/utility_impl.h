// GIUtilityImpl<T>: the utility operations for an interface T that carries them (IUtility,
// and the page controller's IVesk). Every operation forwards to CUtilityOps, so both objects
// behave identically and the code exists once.
#pragma once

#include "utility/iutility.h"
#include "utility/utility_ops.h"

template <class T>
class GIUtilityImpl : public T {
public:
    HRESULT MakeKey(long length, BSTR alphabet, BSTR* key) override {
        return CUtilityOps::MakeKey(length, alphabet, key);
    }
    HRESULT MakeGUID(VARIANT_BOOL compact, BSTR* guid) override { return CUtilityOps::MakeGUID(compact, guid); }
    HRESULT Sleep(long milliseconds) override { return CUtilityOps::Sleep(milliseconds); }
    HRESULT MD5(VARIANT* input, long charset, BSTR* digest) override {
        return CUtilityOps::MD5(input, charset, digest);
    }
    HRESULT SHA1(VARIANT* input, long charset, BSTR* digest) override {
        return CUtilityOps::SHA1(input, charset, digest);
    }
    HRESULT FindString(VARIANT* first, VARIANT* second, VARIANT_BOOL* found) override {
        return CUtilityOps::FindString(first, second, found);
    }
    HRESULT HanToZen(BSTR text, BSTR* converted) override { return CUtilityOps::HanToZen(text, converted); }
    HRESULT ZenToHan(BSTR text, BSTR* converted) override { return CUtilityOps::ZenToHan(text, converted); }
    HRESULT SubmitDecode(BSTR text, BSTR* decoded) override { return CUtilityOps::SubmitDecode(text, decoded); }
    HRESULT Trim(BSTR text, BSTR* trimmed) override { return CUtilityOps::Trim(text, trimmed); }
    HRESULT HTMLEncode(BSTR text, BSTR* encoded) override { return CUtilityOps::HTMLEncode(text, encoded); }
    HRESULT Base64Encode(VARIANT* input, long charset, BSTR* encoded) override {
        return CUtilityOps::Base64Encode(input, charset, encoded);
    }
    HRESULT URLEncode(VARIANT* input, long charset, BSTR* encoded) override {
        return CUtilityOps::URLEncode(input, charset, encoded);
    }
    HRESULT Base64Decode(BSTR text, long charset, VARIANT* decoded) override {
        return CUtilityOps::Base64Decode(text, charset, decoded);
    }
    HRESULT URLDecode(BSTR text, long charset, VARIANT* decoded) override {
        return CUtilityOps::URLDecode(text, charset, decoded);
    }

    // The byte-level methods, for the library's own callers.
    static BOOL Base64Encode(const BYTE* bytes, size_t count, CComBSTR& text) {
        return CUtilityOps::Base64Encode(bytes, count, text);
    }
    static BOOL Base64Decode(const wchar_t* text, size_t length, std::string& bytes) {
        return CUtilityOps::Base64Decode(text, length, bytes);
    }
    static BOOL URLEncode(const BYTE* bytes, size_t count, CComBSTR& text) {
        return CUtilityOps::URLEncode(bytes, count, text);
    }
    static int URLDecode(const wchar_t* text, size_t length, std::string& bytes) {
        return CUtilityOps::URLDecode(text, length, bytes);
    }
    static bool URL_is_unreserved(BYTE byte) { return CUtilityOps::URL_is_unreserved(byte); }
    static HRESULT MD5(const BYTE* bytes, const uint32_t& count, BSTR* digest) {
        return CUtilityOps::MD5(bytes, count, digest);
    }
    static HRESULT SHA1(const BYTE* bytes, const uint32_t& count, BSTR* digest) {
        return CUtilityOps::SHA1(bytes, count, digest);
    }
};
