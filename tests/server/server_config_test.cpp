#include <gtest/gtest.h>

#include <vector>

#include "server/server_config.h"

namespace veskserve {
namespace {

CommandLine Parse(std::vector<const char*> args, ServerConfig* config) {
    args.insert(args.begin(), "vesk-serve");
    std::string message;
    return ParseCommandLine(int(args.size()), args.data(), config, &message);
}

struct Bound {
    const char* option;
    const char* atLimit;
    const char* pastLimit;
};

TEST(ServerConfig, EveryBoundAcceptsNAndRefusesNPlusOne) {
    const Bound bounds[] = {
        {"--threads", "256", "257"},          {"--threads", "1", "0"},
        {"--script-timeout", "3600", "3601"}, {"--script-timeout", "1", "0"},
        {"--script-memory", "4096", "4097"},  {"--request-timeout", "3600", "3601"}, {"--request-timeout", "1", "0"},  {"--session-timeout", "527040", "527041"},
        {"--upload-limit", "1073741824", "1073741825"}, {"--listen", "127.0.0.1:65535", "127.0.0.1:65536"},
    };
    for (const Bound& b : bounds) {
        ServerConfig config;
        EXPECT_EQ(CommandLine::Run, Parse({b.option, b.atLimit}, &config)) << b.option << " " << b.atLimit;
        EXPECT_EQ(CommandLine::Error, Parse({b.option, b.pastLimit}, &config)) << b.option << " " << b.pastLimit;
    }
}

TEST(ServerConfig, OptionsSetTheirFields) {
    ServerConfig config;
    ASSERT_EQ(CommandLine::Run, Parse({"--root", "/srv", "--listen=0.0.0.0:0", "--upload-limit", "10", "--threads", "3",
                                       "--hide-errors", "--script-memory", "8"},
                                      &config));
    EXPECT_EQ("/srv", config.root);
    EXPECT_EQ("0.0.0.0", config.host);
    EXPECT_EQ(0, config.port);
    EXPECT_EQ(10u, config.uploadLimit);
    EXPECT_EQ(3u, config.threads);
    EXPECT_FALSE(config.showErrors);
    EXPECT_EQ(8u, config.scriptMemoryMB);
    EXPECT_EQ(CommandLine::Help, Parse({"--help"}, &config));
    EXPECT_EQ(CommandLine::Version, Parse({"--version"}, &config));
    for (std::vector<const char*> bad : {std::vector<const char*>{"--bogus"}, {"--root"}, {"--threads", "x"},
                                         {"--show-errors=1"}, {"--listen", "nohost"}}) {
        EXPECT_EQ(CommandLine::Error, Parse(bad, &config)) << bad[0];
    }
}

}  // namespace
}  // namespace veskserve
