// Digests against the published vectors, the hash object's calls, and the Base64 codec.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "shim/shim.h"

namespace {

std::string hex(const BYTE* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += {"0123456789abcdef"[bytes[i] >> 4], "0123456789abcdef"[bytes[i] & 15]};
    return text;
}

const BYTE* bytes_of(const std::string& s) { return reinterpret_cast<const BYTE*>(s.data()); }

// Encodes or decodes through a size query and an exactly sized buffer; "<failed>" on failure.
std::wstring encode(const std::string& bytes) {
    DWORD size = 0;
    if (!CryptBinaryToStringW(bytes_of(bytes), DWORD(bytes.size()), CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, nullptr, &size))
        return L"<failed>";
    std::wstring text(size, L'?');
    if (!CryptBinaryToStringW(bytes_of(bytes), DWORD(bytes.size()), CRYPT_STRING_BASE64, text.data(), &size)) return L"<failed>";
    EXPECT_EQ(size, text.size());  // the NUL is counted
    return text.substr(0, size - 1);
}

std::string decode(const wchar_t* text, DWORD count = 0) {
    DWORD size = 77;
    if (!CryptStringToBinaryW(text, count, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr)) {
        EXPECT_EQ(size, 0u);
        return "<failed>";
    }
    std::string bytes(size, '?');
    if (!CryptStringToBinaryW(text, count, CRYPT_STRING_BASE64, reinterpret_cast<BYTE*>(bytes.data()), &size, nullptr, nullptr))
        return "<failed>";
    return bytes;
}

}  // namespace

TEST(ShimDigest, PublishedVectors) {
    const struct { std::string message; const char *md5, *sha1; } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0", nullptr},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f", nullptr},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890", "57edf4a22be3c955ac49da2e2107b67a", nullptr},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", nullptr, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        // The padding fits the last block, just fits, or spills into another one.
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65", "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218", "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
        {std::string(63, 'a'), "b06521f39153d618550606be297466d5", "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367", "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
        {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435", "11655326c708d70319be2610e8a57d9a5b959d3b"},
        {std::string(1000000, 'a'), nullptr, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"}};
    for (const auto& c : cases) {
        if (c.md5) { EXPECT_EQ(hex(zul_compat::md5_digest(bytes_of(c.message), c.message.size()).data(), 16), c.md5); }
        if (c.sha1) { EXPECT_EQ(hex(zul_compat::sha1_digest(bytes_of(c.message), c.message.size()).data(), 20), c.sha1); }
    }
    std::vector<BYTE> lengths;
    zul_compat::append_le64(lengths, 0x0102030405060708);
    zul_compat::append_be64(lengths, 0x0102030405060708);
    EXPECT_EQ(lengths, (std::vector<BYTE>{8, 7, 6, 5, 4, 3, 2, 1, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(zul_compat::rotl32(0x80000001, 1), 3u);
    EXPECT_EQ(zul_compat::rotl32(0x12345678, 0), 0x12345678u);
}

TEST(ShimCrypt, HashObjectBuffersAndRereads) {
    HCRYPTPROV provider = 0;
    ASSERT_EQ(CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET), TRUE);
    HCRYPTHASH rejected = 1;
    EXPECT_EQ(CryptCreateHash(provider, 0x800C, 0, 0, &rejected), FALSE);  // SHA-256
    EXPECT_EQ(rejected, 0u);
    const struct { ALG_ID algorithm; DWORD size; const char *abc, *abcd; } cases[] = {
        {CALG_MD5, 16, "900150983cd24fb0d6963f7d28e17f72", "e2fc714c4727ee9395f324cd2e7f331f"},
        {CALG_SHA1, 20, "a9993e364706816aba3e25717850c26c9cd0d89d", "81fe8bfe87576c3ecb22426f8e57847382917acf"}};
    for (const auto& c : cases) {
        HCRYPTHASH hash = 0;
        ASSERT_EQ(CryptCreateHash(provider, c.algorithm, 0, 0, &hash), TRUE);
        EXPECT_EQ(CryptHashData(hash, bytes_of("ab"), 2, 0), TRUE);
        EXPECT_EQ(CryptHashData(hash, nullptr, 0, 0), TRUE);
        EXPECT_EQ(CryptHashData(hash, nullptr, 1, 0), FALSE);
        EXPECT_EQ(CryptHashData(hash, bytes_of("c"), 1, 0), TRUE);
        BYTE value[20] = {};
        DWORD size = 0;
        EXPECT_EQ(CryptGetHashParam(hash, HP_HASHVAL, nullptr, &size, 0), TRUE);
        EXPECT_EQ(size, c.size);
        size = 10;
        EXPECT_EQ(CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0), FALSE);
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(CryptGetHashParam(hash, 4, value, &size, 0), FALSE);
        for (int reading = 0; reading < 2; ++reading) {
            EXPECT_EQ(CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0), TRUE);
            EXPECT_EQ(hex(value, size), c.abc);
        }
        EXPECT_EQ(CryptHashData(hash, bytes_of("d"), 1, 0), TRUE);  // still open after reading
        EXPECT_EQ(CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0), TRUE);
        EXPECT_EQ(hex(value, size), c.abcd);
        EXPECT_EQ(CryptDestroyHash(hash), TRUE);
    }
    DWORD size = 0;
    EXPECT_EQ(CryptGetHashParam(0, HP_HASHVAL, nullptr, &size, 0), FALSE);
    EXPECT_EQ(CryptHashData(0, bytes_of("a"), 1, 0), FALSE);
    EXPECT_EQ(CryptCreateHash(provider, CALG_SHA1, 0, 0, nullptr), FALSE);
    EXPECT_EQ(CryptReleaseContext(provider, 0), TRUE);
}

TEST(ShimBase64, Rfc4648VectorsBothWays) {
    const struct { std::string bytes; const wchar_t* text; } cases[] = {
        {"f", L"Zg=="}, {"fo", L"Zm8="}, {"foo", L"Zm9v"}, {"foob", L"Zm9vYg=="}, {"fooba", L"Zm9vYmE="},
        {"foobar", L"Zm9vYmFy"}, {"\xff", L"/w=="}, {"\xfb\xff", L"+/8="}};
    for (const auto& c : cases) {
        EXPECT_EQ(encode(c.bytes), c.text);
        EXPECT_EQ(decode(c.text), c.bytes) << c.text;
    }
    EXPECT_EQ(encode(""), L"");
    EXPECT_EQ(encode(std::string(100, 'x')).size(), 136u);  // one line, no breaks
}

TEST(ShimBase64, EncoderCountsAndFlags) {
    DWORD size = 0;
    EXPECT_EQ(CryptBinaryToStringW(bytes_of("abc"), 3, CRYPT_STRING_BASE64, nullptr, &size), TRUE);
    EXPECT_EQ(size, 5u);
    wchar_t small[4];
    size = 4;
    EXPECT_EQ(CryptBinaryToStringW(bytes_of("abc"), 3, CRYPT_STRING_BASE64, small, &size), FALSE);
    EXPECT_EQ(size, 5u);
    for (DWORD flags : {CRYPT_STRING_BASE64HEADER, CRYPT_STRING_HEX})
        EXPECT_EQ(CryptBinaryToStringW(bytes_of("abc"), 3, flags, nullptr, &size), FALSE);
    EXPECT_EQ(CryptBinaryToStringW(nullptr, 0, CRYPT_STRING_BASE64, nullptr, &size), FALSE);
}

TEST(ShimBase64, DecoderAcceptsAndRejects) {
    const struct { const wchar_t* text; DWORD count; std::string bytes; } cases[] = {
        {L"YW", 0, "<failed>"},     {L"YWJj\r\nYQ==", 0, "abca"}, {L" YW\tJj \n", 0, "abc"}, {L"Y=Jj", 0, "<failed>"},
        {L"YWJ*", 0, "<failed>"},   {L"", 0, "<failed>"},         {L" \r\n", 0, "<failed>"}, {L"Zm9vYmFy", 4, "foo"},
        {L"Zm9v\0Zm9v", 8, "foo"},
        {L"YW=j", 0, "<failed>"},   // padding followed by a digit would drop a byte
        {L"YQ==YWJj", 0, "aabc"}};  // padded texts concatenate
    for (const auto& c : cases) EXPECT_EQ(decode(c.text, c.count), c.bytes) << c.text;
    // Exactly the given characters are read: no NUL follows them here.
    const std::unique_ptr<wchar_t[]> unterminated(new wchar_t[4]{L'Y', L'W', L'J', L'j'});
    EXPECT_EQ(decode(unterminated.get(), 4), "abc");
    BYTE two[2];
    DWORD size = 2;
    EXPECT_EQ(CryptStringToBinaryW(L"YWJj", 0, CRYPT_STRING_BASE64, two, &size, nullptr, nullptr), FALSE);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(CryptStringToBinaryW(L"YWJj", 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr), FALSE);
}
