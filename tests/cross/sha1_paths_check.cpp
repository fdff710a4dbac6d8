// SHA-1 on another architecture's build (arm64 under an emulator): the processor's SHA-1
// instructions must be compiled into a build for the base architecture, chosen at run time,
// and give what the portable code and the published vectors give. No test framework: this
// file is built with a cross compiler that has only the C++ library.
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "shim/digest.h"

using namespace zul_compat;

namespace {

int g_failures = 0;

void Check(bool ok, const std::string& what) {
    if (!ok) {
        std::printf("FAILED: %s\n", what.c_str());
        ++g_failures;
    }
}

std::string Hex(const std::array<BYTE, kSha1DigestBytes>& digest) {
    std::string text;
    char pair[3];
    for (BYTE b : digest) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text;
}

}  // namespace

int main() {
    if (!sha1_has_instructions()) {
        std::printf("FAILED: the build has no SHA-1 instructions path, or the processor reports none\n");
        return 1;
    }
    // The published vectors, through the whole-message digest (which uses the instructions).
    const struct {
        std::string message;
        const char* digest;
    } vectors[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const auto& v : vectors) {
        const std::string got = Hex(sha1_digest(reinterpret_cast<const BYTE*>(v.message.data()), v.message.size()));
        Check(got == v.digest, "vector of " + std::to_string(v.message.size()) + " bytes: " + got);
    }
    // Both compression paths over the same random blocks, from random states.
    std::mt19937 random(20261207);
    for (size_t blocks = 1; blocks <= 64; ++blocks) {
        std::vector<BYTE> data(blocks * kDigestBlockBytes);
        for (BYTE& b : data) b = BYTE(random());
        uint32_t portable[5], instructions[5];
        for (int i = 0; i < 5; ++i) portable[i] = instructions[i] = uint32_t(random());
        sha1_compress_portable(portable, data.data(), blocks);
        Check(sha1_compress_instructions(instructions, data.data(), blocks), "the instructions path ran");
        Check(std::memcmp(portable, instructions, sizeof portable) == 0, std::to_string(blocks) + " random blocks");
    }
    // A message given in uneven pieces gives the whole message's digest.
    std::vector<BYTE> message(5000);
    for (BYTE& b : message) b = BYTE(random());
    DigestContext context;
    sha1_start(context);
    for (size_t at = 0, piece = 1; at < message.size(); at += piece, piece = piece * 3 % 131 + 1)
        sha1_add(context, message.data() + at, std::min(piece, message.size() - at));
    Check(sha1_value(context) == sha1_digest(message.data(), message.size()), "pieces against the whole");
    if (g_failures == 0) std::printf("sha1 on %s: the instructions and the portable code agree\n", "arm64");
    return g_failures == 0 ? 0 : 1;
}
