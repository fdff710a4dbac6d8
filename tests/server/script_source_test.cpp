#include <gtest/gtest.h>

#include "server/script_source.h"

namespace veskserve {
namespace {

std::string Rewrite(const std::string& source) {
    std::string out, error;
    EXPECT_TRUE(InstrumentScript(source, ScriptHooks{"T", "C"}, &out, &error)) << error;
    return out;
}

struct Case {
    const char* source;
    const char* expected;
};

TEST(ScriptSource, LoopsFunctionsAndMemberCalls) {
    const Case cases[] = {
        {"while (x) y();", "while (T()&&(x)) y();"},
        {"for (;;) {}", "for (;T();) {}"},
        {"for (var i = 0; i < n; i++) {}", "for (var i = 0;T()&&( i < n); i++) {}"},
        {"for (var k in o) {}", "for (var k in o) {}"},
        {"do { } while (a)", "do { } while (T()&&(a))"},
        {"function f(a) { return a; }", "function f(a) {T(); return a; }"},
        {"var g = function () {};", "var g = function () {T();};"},
        {"a.b();", "C(a,\"b\");"},
        {"a.b(1, 2);", "C(a,\"b\",1, 2);"},
        {"a.b.c(x).d(y);", "C(C(a.b,\"c\",x),\"d\",y);"},
        {"a[k].m()", "C(a[k],\"m\")"},
        {"f(x).m()", "C(f(x),\"m\")"},
        {"new a.B(x)", "new a.B(x)"},
        {"new a.B(x).m()", "C(new a.B(x),\"m\")"},
        {"(a + b).m()", "C((a + b),\"m\")"},
        {"\"s\".m()", "C(\"s\",\"m\")"},
        {"x = a.b;", "x = a.b;"},
        {"while (a.b()) {}", "while (T()&&(C(a,\"b\"))) {}"},
        // Nothing inside strings, comments and regular expressions changes.
        {"s = 'while (x) a.b()';", "s = 'while (x) a.b()';"},
        {"// while (x) a.b()\n", "// while (x) a.b()\n"},
        {"/* for(;;) */", "/* for(;;) */"},
        {"r = /a.b(c)/g; q = x / y.z(w);", "r = /a.b(c)/g; q = x / C(y,\"z\",w);"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, Rewrite(c.source)) << c.source;
}

TEST(ScriptSource, UnendedTokensAreRefusedWithTheirLine) {
    for (const char* source : {"var s = 'open;", "x;\n/* no end", "a = /unended\n"}) {
        std::string out, error;
        EXPECT_FALSE(InstrumentScript(source, ScriptHooks{"T", "C"}, &out, &error)) << source;
        EXPECT_NE(std::string::npos, error.find("line")) << error;
    }
}

}  // namespace
}  // namespace veskserve
