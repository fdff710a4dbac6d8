// The page runner over a real site and the library module: sessions that end, by timeout or
// by Abandon, run the site's Session_OnEnd with their own state, and are never resumed.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "server/page_runner.h"

namespace veskserve {
namespace {

using namespace std::chrono_literals;

constexpr const char* kGlobal = R"(
function Session_OnStart() { Session["who"] = "nobody"; }
function Session_OnEnd() {
  var n = Application.Contents["ended"];
  Application.Contents["ended"] = (n ? n : 0) + 1;
  Application.Contents["last"] = Session["who"];
}
)";
// ?who=NAME names the visitor; ?abandon=1 ends the session with the page.
constexpr const char* kPage = R"(
var who = "" + Request.QueryString("who");
if (who != "undefined" && who != "") Session["who"] = who;
if (Request.QueryString("abandon") == "1") Session.Abandon();
Response.Write(Session["who"] + " " + Application.Contents["ended"] + " " + Application.Contents["last"]);
)";

class Site {
public:
    Site() {
        char pattern[] = "/tmp/vesk-runner-XXXXXX";
        m_root = mkdtemp(pattern);
        std::ofstream(m_root + "/global.vsp") << kGlobal;
        std::ofstream(m_root + "/page.vsp") << kPage;
    }
    ~Site() { std::filesystem::remove_all(m_root); }
    const std::string& Root() const { return m_root; }
    void Write(const std::string& name, const std::string& text) const { std::ofstream(m_root + "/" + name) << text; }

private:
    std::string m_root;
};

struct Visit {
    std::string body;
    std::string cookie;  // "VESKSESSIONID=..." as set, empty when none was set
};

class RunnerTest : public ::testing::Test {
protected:
    RunnerTest() {
        config.root = site.Root();
        config.module = VESK_MODULE_PATH;
        config.sessionTimeoutMinutes = 20;
        runner = std::make_unique<PageRunner>(config, logs, [this] { return now; });
        std::string message;
        EXPECT_TRUE(runner->LoadModule(&message)) << message;
        runner->StartApplication();
    }

    Visit Get(const std::string& query, const std::string& cookie = "", const std::string& page = "page.vsp",
              int status = 200) {
        veskhost::PageRequest request = veskhost::PageRequest::Get("/" + page + query);
        if (!cookie.empty()) request.Header("Cookie", cookie);
        const HttpReply reply = runner->Run(site.Root() + "/" + page, "/" + page, request);
        EXPECT_EQ(status, reply.status) << reply.body;
        Visit visit{reply.body, ""};
        for (const auto& [name, value] : reply.headers) {
            if (name == "Set-Cookie" && value.rfind(kSessionCookie, 0) == 0) visit.cookie = value.substr(0, value.find(';'));
        }
        return visit;
    }

    Site site;
    ServerConfig config;
    Logs logs;
    std::chrono::steady_clock::time_point now{};
    std::unique_ptr<PageRunner> runner;
};

TEST_F(RunnerTest, AnIdleSessionEndsAtItsTimeoutWithSessionOnEndAndIsNeverResumed) {
    const Visit ann = Get("?who=ann");
    EXPECT_EQ("ann undefined undefined", ann.body);
    ASSERT_FALSE(ann.cookie.empty());
    const Visit bob = Get("?who=bob");

    now += 20min - 1s;
    EXPECT_EQ(0u, runner->SweepSessions());
    EXPECT_EQ("ann undefined undefined", Get("", ann.cookie).body);  // a visit restarts ann's idle time
    now += 1s;
    EXPECT_EQ(1u, runner->SweepSessions());  // bob's
    EXPECT_EQ(1u, runner->SessionCount());

    // Bob comes back with the old cookie: a fresh session, not the old state.
    const Visit again = Get("", bob.cookie);
    EXPECT_EQ("nobody 1 bob", again.body);
    EXPECT_FALSE(again.cookie.empty());
    EXPECT_NE(bob.cookie, again.cookie);
}

TEST_F(RunnerTest, AnAbandonedSessionEndsWithThePageAndSessionOnEndSeesItsState) {
    const Visit carol = Get("?who=carol");
    EXPECT_EQ("carol undefined undefined", Get("?abandon=1", carol.cookie).body);
    EXPECT_EQ(0u, runner->SessionCount());
    EXPECT_EQ("nobody 1 carol", Get("", carol.cookie).body);
}

TEST_F(RunnerTest, StoppingEndsEverySession) {
    Get("?who=dan");
    Get("?who=eve");
    EXPECT_EQ(2u, runner->SessionCount());
    runner->EndSessions();
    EXPECT_EQ(0u, runner->SessionCount());
}

// Pages run from their compiled form while their file is unchanged.
TEST_F(RunnerTest, AnEditedPageRunsItsNewTextAndACompiledPageKeepsItsErrorLines) {
    site.Write("edit.vsp", "Response.Write('one');");
    for (int i = 0; i < 2; ++i) EXPECT_EQ("one", Get("", "", "edit.vsp").body);
    site.Write("edit.vsp", "Response.Write('two!');");
    for (int i = 0; i < 2; ++i) EXPECT_EQ("two!", Get("", "", "edit.vsp").body);
    std::filesystem::remove(site.Root() + "/edit.vsp");
    EXPECT_NE(std::string::npos, Get("", "", "edit.vsp", 500).body.find("cannot be read"));

    site.Write("broken.vsp", "// one\nvar a = 1;\nnoSuchFunction(a);\n");
    for (int i = 0; i < 2; ++i) {
        const std::string body = Get("", "", "broken.vsp", 500).body;
        EXPECT_NE(std::string::npos, body.find("noSuchFunction")) << body;
        EXPECT_NE(std::string::npos, body.find("/broken.vsp, line 3")) << body;
    }
}

}  // namespace
}  // namespace veskserve
