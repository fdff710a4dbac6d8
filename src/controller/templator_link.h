// What a page-bound templator knows of the page controller that made it, and how the
// controller makes one.
//
// A templator does not hold its controller: a script may keep it after releasing the
// controller, whose pooled block may by then serve another page. So the controller and the
// templators it made share one small link, and the controller cuts it when it goes; from then
// on the templators find no controller, and keep the SelfEncode setting it last had.
#pragma once

#include "controller/ivesk.h"
#include "host/host.h"

class CTemplatorLink {
public:
    // A new link to a live controller and its SelfEncode flag, with one reference.
    static HRESULT Create(IVesk* pMain, const bool* pSelfEncode, CTemplatorLink** ppLink);

    ULONG AddRef() { return static_cast<ULONG>(++m_nRef); }
    ULONG Release();

    // The controller, or null once it has gone.
    IVesk* Main() const { return m_pMain; }
    // The controller's SelfEncode as it is now, or as it was when the controller went.
    bool SelfEncode() const { return m_pSelfEncode ? *m_pSelfEncode : m_bSelfEncodeKept; }
    // The library's own HTML encoding: the controller's, through its own table while it
    // lives; the same encoder without it afterwards.
    HRESULT HTMLEncode(BSTR bstrText, BSTR* pbstrEncoded) const;

    // The controller is going: nothing may reach it through the link any more.
    void Cut();

private:
    CTemplatorLink(IVesk* pMain, const bool* pSelfEncode) : m_pMain(pMain), m_pSelfEncode(pSelfEncode) {}
    ~CTemplatorLink() = default;

    int64_t m_nRef = 1;  // plain count: the controller and its templators share one thread
    IVesk* m_pMain;      // not counted
    const bool* m_pSelfEncode;
    bool m_bSelfEncodeKept = false;
};

// The controller's end of the link: made with the first templator, cut when the controller
// is destroyed.
class CTemplatorLinkOwner {
public:
    CTemplatorLinkOwner() = default;
    ~CTemplatorLinkOwner();
    CTemplatorLinkOwner(const CTemplatorLinkOwner&) = delete;
    CTemplatorLinkOwner& operator=(const CTemplatorLinkOwner&) = delete;

    // The link, made on first use; E_OUTOFMEMORY when it cannot be.
    HRESULT Get(IVesk* pMain, const bool* pSelfEncode, CTemplatorLink** ppLink);

private:
    CTemplatorLink* m_pLink = nullptr;
};

// What a controller hands the templator it has just made: borrowed for the call, the
// templator keeps its own references.
struct CTemplatorWiring {
    CTemplatorLink* pLink;
    BSTR bstrEventPrefix;
    IZULibDictionary* pView;  // null outside a process
    IZULibDictionary* pBag;   // null without a session state
};

// Made where the templator's class is known (templators/vesked_templator.cpp): a new
// templator from its pooled factory, which hands it the caller's page context, and its
// wiring to the controller that made it.
HRESULT CreateVeskedTemplator(IDispatch** ppTemplator);
HRESULT WireVeskedTemplator(IDispatch* pTemplator, const CTemplatorWiring& wiring);
