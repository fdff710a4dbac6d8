// A visitor's session state, kept in the host Session under the page's Name: the Bag that
// survives between requests and the one-time command key. Without a Name or a host Session
// the null session stands in and answers every request with an error asking for Name.
#pragma once

#include <cstdint>

#include "host/host.h"

// No identifier of its own: a stored state is recognised by the private query below.
struct IVeskSession : IUnknown {
    virtual HRESULT get_Bag(IZULibDictionary** ppBag) = 0;
    // The current command name: the key followed by the command count in decimal.
    virtual HRESULT GetCommandName(BSTR* pbstrName) = 0;
    // Draws a new key and counts one more command.
    virtual HRESULT IncrementCommand() = 0;
};

// The private query: IID_NULL with the out-slot carrying in null, an empty string or the
// name "IVeskSession" finds a session state behind any IUnknown; anything else does not.
// bAddRef is false for the null session, whose references are not counted.
HRESULT QuerySessionState(REFIID riid, void** ppv, IVeskSession* pSelf, bool bAddRef);
// The session state behind a stored value, or E_NOINTERFACE when it is some other object.
HRESULT FindSessionState(IUnknown* pStored, IVeskSession** ppSession);

class CVeskSession final : public IVeskSession {
public:
    static constexpr unsigned int kKeyLetters = 6;

    // A new state with one reference for the caller, a fresh Bag (null when the host cannot
    // make one) and a first key. Fails only when no key can be drawn or memory runs out.
    static HRESULT Create(CVeskSession** ppSession);

    HRESULT QueryInterface(REFIID riid, void** ppv) override { return QuerySessionState(riid, ppv, this, true); }
    ULONG AddRef() override { return static_cast<ULONG>(++m_nRefCount); }
    ULONG Release() override;

    HRESULT get_Bag(IZULibDictionary** ppBag) override;
    HRESULT GetCommandName(BSTR* pbstrName) override;
    HRESULT IncrementCommand() override;

    // Replaces the key by six letters drawn uniformly from A to Z.
    HRESULT IncrementCommandKey();

private:
    CVeskSession();
    ~CVeskSession();
    CVeskSession(const CVeskSession&) = delete;
    CVeskSession& operator=(const CVeskSession&) = delete;

    // Plain count: a visitor's requests are served one at a time.
    uint64_t m_nRefCount = 1;
    CComPtr<IZULibDictionary> m_spBag;
    CComBSTR m_bstrCommandKey;
    int64_t m_nCommandCount = 0;
};

// Stands in when no session state applies; stateless and shared by every page.
class CVeskSessionNull final : public IVeskSession {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return QuerySessionState(riid, ppv, this, false); }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }

    HRESULT get_Bag(IZULibDictionary** ppBag) override;
    HRESULT GetCommandName(BSTR* pbstrName) override;
    HRESULT IncrementCommand() override;
};

VESK_EXPORT extern CVeskSessionNull g_oVeskSessionNull;
