// One page script's JavaScript engine: its own heap (a counting allocator capped at the page's
// memory limit), its own global environment, and a deadline. Automation objects cross into
// the script as proxies whose reads, writes and calls are late-bound calls; script objects
// cross out as IDispatch objects the library can call back (script_objects.h).
//
//   ScriptEngine engine({64 << 20, std::chrono::seconds(10)});
//   engine.AddGlobal("Response", response);
//   ScriptError error;
//   if (!engine.Run(source, "/index.vsp", &error)) ...   // error.source, error.description, error.line
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "host/ccom.h"

struct duk_hthread;

namespace veskserve {

// What ended a script that failed.
struct ScriptError {
    HRESULT hr = S_OK;
    std::wstring source;
    std::wstring description;
    std::string file;  // where the error was raised, when the engine knows it
    int line = 0;
    bool timedOut = false;
    bool outOfMemory = false;

    bool Failed() const { return FAILED(hr); }
};

// The error a script's own exception is reported with, as a script engine's runtime error.
constexpr HRESULT kScriptException = HRESULT(0x800A139Eu);
// The script ran past its deadline.
constexpr HRESULT kScriptTimedOut = HRESULT(0x800A01B6u);

class ScriptEngine {
public:
    struct Limits {
        size_t memoryBytes = 64u << 20;
        std::chrono::steady_clock::duration timeout = std::chrono::seconds(10);
    };

    explicit ScriptEngine(const Limits& limits);
    ~ScriptEngine();
    ScriptEngine(const ScriptEngine&) = delete;
    ScriptEngine& operator=(const ScriptEngine&) = delete;

    // False when the heap could not be made.
    bool Ready() const;
    // Asked after every automation call: true once the page's output has ended, which ends
    // the script as if it had finished.
    void SetEndedProbe(std::function<bool()> ended);

    // A global variable holding an automation object.
    HRESULT AddGlobal(const char* name, IDispatch* object);
    // Compiles and runs a script file's text in the global environment; with compiled, also
    // gives the compiled form (left empty when the text does not compile) for RunCompiled.
    bool Run(std::string_view source, const std::string& fileName, ScriptError* error,
             std::string* compiled = nullptr);
    // Runs what Run compiled, in this engine or another of this process: loading it costs a
    // small part of compiling the text again.
    bool RunCompiled(std::string_view compiled, const std::string& fileName, ScriptError* error);
    // Calls a global function with automation values; *found false (and success) when the
    // script defines no function of that name.
    bool CallFunction(const char* name, std::span<CComVariant> args, bool* found, ScriptError* error);

    // Implementation, shared with the script objects' file.
    struct Impl;
    Impl& Internal() { return *m_impl; }

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace veskserve
