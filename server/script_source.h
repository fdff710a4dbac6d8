// Prepares a page script's source for the engine. The engine cannot interrupt a running
// script by itself, and it cannot tell a property read from a method call on an automation
// object, so the source is rewritten before it is compiled:
//   - every loop condition and every function body first calls the deadline check, so a
//     runaway loop or recursion ends when the page's time is up;
//   - a call of a named member, `a.b(x)`, becomes `call(a, "b", x)`, so that an automation
//     member is invoked as a method while a plain read of `a.b` stays a property get.
// Only tokens are inserted; line numbers stay what the author wrote.
#pragma once

#include <string>
#include <string_view>

namespace veskserve {

struct ScriptHooks {
    std::string tick;  // the deadline check: a global function returning true
    std::string call;  // the member call: a global function (object, name, arguments...)
};

// The rewritten source, or false with a message naming the line of a token that does not end
// (a string, a comment or a regular expression).
bool InstrumentScript(std::string_view source, const ScriptHooks& hooks, std::string* out, std::string* error);

}  // namespace veskserve
