// The page controller's request binding (values of the request into the Bag, the View or
// the script's variables), its conversions (value lists to arrays, command and parameter
// fragments of a query string) and its helper objects (database command, page-bound
// templator) and redirect.
//
// Binding may run scripts at every store (a dictionary releases the value it replaces, a
// script variable is assigned by the script itself), so each call keeps the controller, the
// request collection and the target alive for its length and reads the properties it needs
// again where they may have changed.
#include <cwchar>
#include <initializer_list>
#include <utility>

#include "controller/vesk_impl.h"
#include "frame/error.h"

using namespace PravoltTypeLibrary;

namespace {

constexpr DWORD kClassContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER;
constexpr wchar_t kRedirectStatus[] = L"302 Object moved";
constexpr wchar_t kLocationHeader[] = L"Location";

// A copy of the whole string (embedded NULs kept); empty for a null one.
HRESULT CopyText(BSTR text, CComBSTR& copy) {
    CComBSTR made(text ? text : L"", SysStringLen(text));
    if (made.m_str == nullptr) return E_OUTOFMEMORY;
    copy = std::move(made);
    return S_OK;
}

HRESULT TextKey(const CComBSTR& text, CComVariant& key) {
    CComBSTR copy;
    const HRESULT hr = CopyText(text, copy);
    if (FAILED(hr)) return hr;
    key.SetBSTR(copy.Detach());
    return S_OK;
}

bool SameText(const CComBSTR& a, const CComBSTR& b) {
    return a.Length() == b.Length() && std::wmemcmp(a.c_str(), b.c_str(), a.Length()) == 0;
}

// The parts joined into one new string.
HRESULT Join(std::initializer_list<const CComBSTR*> parts, CComBSTR& joined) {
    CComBSTR made(L"");
    if (made.m_str == nullptr) return E_OUTOFMEMORY;
    for (const CComBSTR* part : parts) {
        const HRESULT hr = made.Append(part->c_str(), part->Length());
        if (FAILED(hr)) return hr;
    }
    joined = std::move(made);
    return S_OK;
}

}  // namespace

// ---- Binding -----------------------------------------------------------------------------

template <class T>
HRESULT GIVeskImpl<T>::PutIntoBag(BSTR bstrName, VARIANT_BOOL bAsArray) {
    const CComPtr<IDispatch> spKeepAlive = KeepAlive();
    CComPtr<IZULibDictionary> spBag;
    const HRESULT hr = CurrentSession()->get_Bag(spBag.Receive());
    if (FAILED(hr)) return hr;
    // A session state whose Bag the host could not make has nowhere to bind into.
    if (!spBag) return RaiseError(E_FAIL, L"Vesk", L"Could not get Bag. The host could not create one.");
    // The Bag lives in the host Session, past this request and its objects.
    return PutIntoStore(spBag.Get(), bstrName, bAsArray != 0, Keep::ByValue);
}

template <class T>
HRESULT GIVeskImpl<T>::PutIntoView(BSTR bstrName, VARIANT_BOOL bAsArray) {
    const CComPtr<IDispatch> spKeepAlive = KeepAlive();
    // Outside a process there is no View; the failure carries no message of its own.
    if (!m_spView) return E_FAIL;
    const CComPtr<IZULibDictionary> spView = CComPtr<IZULibDictionary>::Share(m_spView.Get());
    return PutInto(spView.Get(), bstrName, bAsArray);
}

template <class T>
HRESULT GIVeskImpl<T>::PutIntoProp(BSTR bstrName, VARIANT_BOOL bAsArray) {
    const CComPtr<IDispatch> spKeepAlive = KeepAlive();
    return PutInto(nullptr, bstrName, bAsArray);
}

template <class T>
HRESULT GIVeskImpl<T>::PutInto(IZULibDictionary* pTarget, BSTR bstrName, short bAsArray) {
    return PutIntoStore(pTarget, bstrName, bAsArray != 0, Keep::AsGiven);
}

template <class T>
HRESULT GIVeskImpl<T>::PutIntoStore(IZULibDictionary* pTarget, BSTR bstrName, bool bAsArray, Keep keep) {
    const CComPtr<IDispatch> spKeepAlive = KeepAlive();
    const CComPtr<IZULibDictionary> spTarget = CComPtr<IZULibDictionary>::Share(pTarget);
    // The name is the caller's, and a script run by a store may assign it.
    CComBSTR bstrKey;
    HRESULT hr = CopyText(bstrName, bstrKey);
    if (FAILED(hr)) return hr;
    CComPtr<IDispatch> spRequest;
    hr = this->get_Request(spRequest.Receive());
    if (FAILED(hr)) return hr;
    CComPtr<IRequestDictionary> spCollection;
    hr = spRequest.QueryInterface(spCollection.Receive());
    if (FAILED(hr)) return hr;
    if (!spCollection) return E_NOINTERFACE;
    if (bstrKey.IsEmpty()) return PutEveryKeyInto(spTarget.Get(), spCollection.Get(), keep);
    return PutOneInto(spTarget.Get(), spCollection.Get(), bstrKey, bAsArray, keep);
}

template <class T>
HRESULT GIVeskImpl<T>::PutEveryKeyInto(IZULibDictionary* pTarget, IRequestDictionary* pCollection, Keep keep) {
    int nCount = 0;
    HRESULT hr = pCollection->get_Count(&nCount);
    if (FAILED(hr)) return hr;
    for (int i = 1; i <= nCount; ++i) {
        // Asked anew for every key: binding one may have run a script that changed it.
        CComBSTR bstrCommandKey;
        hr = CurrentCommandKey(bstrCommandKey);
        if (FAILED(hr)) return hr;
        CComVariant index;
        index.SetI4(i);
        CComVariant key;
        hr = pCollection->get_Key(index, &key);
        if (SUCCEEDED(hr)) hr = key.ChangeType(VT_BSTR);
        if (FAILED(hr)) return hr;
        CComBSTR bstrKey;
        bstrKey.Attach(key.bstrVal);
        key.vt = VT_EMPTY;
        if (SameText(bstrKey, bstrCommandKey)) continue;
        // Each key as one value, and straight to the single binding: a key sent with an empty
        // name is bound under the empty name, not taken for "every key" again.
        hr = PutOneInto(pTarget, pCollection, bstrKey, false, keep);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

template <class T>
HRESULT GIVeskImpl<T>::PutOneInto(IZULibDictionary* pTarget, IRequestDictionary* pCollection,
                                  const CComBSTR& bstrName, bool bAsArray, Keep keep) {
    CComVariant name;
    HRESULT hr = TextKey(bstrName, name);
    if (FAILED(hr)) return hr;
    CComVariant item;
    hr = pCollection->get_Item(name, &item);
    if (FAILED(hr)) return hr;

    CComVariant value;
    if (bAsArray && item.vt == VT_DISPATCH) {
        CComSafeArray array;
        hr = this->ToArray(item.pdispVal, array.Receive());
        if (FAILED(hr)) return hr;
        if (m_bSubmitDecodeOnPutInto) {
            hr = SubmitDecodeElements(array.Get());
            if (FAILED(hr)) return hr;
        }
        value.vt = VT_ARRAY | VT_VARIANT;
        value.parray = array.Detach();
    } else {
        if (m_bSubmitDecodeOnPutInto) {
            hr = item.ChangeType(VT_BSTR);
            if (FAILED(hr)) return hr;
        } else if (keep == Keep::ByValue && item.vt == VT_DISPATCH) {
            // A value with no text (an uploaded file) is bound as the object the request gave.
            CComVariant text;
            if (SUCCEEDED(VariantChangeType(&text, &item, 0, VT_BSTR))) item = std::move(text);
        }
        if (m_bSubmitDecodeOnPutInto) {
            CComBSTR bstrDecoded;
            hr = this->SubmitDecode(item.bstrVal, bstrDecoded.Receive());
            if (FAILED(hr)) return hr;
            item.SetBSTR(bstrDecoded.Detach());
        }
        value = std::move(item);
    }

    if (pTarget) return pTarget->put_Item(&name, &value);
    CEvent variable;
    hr = m_oEventHandler.GetEvent(bstrName.c_str(), variable);
    if (FAILED(hr)) return hr;
    return variable.Put(&value);
}

// Every element or none: an element that does not decode fails the binding with the first
// such failure, and the caller stores nothing, rather than storing a mix of decoded and raw
// values under a success.
template <class T>
HRESULT GIVeskImpl<T>::SubmitDecodeElements(SAFEARRAY* psa) {
    LONG lower = 0;
    LONG upper = -1;
    HRESULT hr = SafeArrayGetLBound(psa, 1, &lower);
    if (SUCCEEDED(hr)) hr = SafeArrayGetUBound(psa, 1, &upper);
    if (FAILED(hr)) return hr;
    for (LONG i = lower; i <= upper; ++i) {
        CComVariant element;
        hr = SafeArrayGetElement(psa, &i, &element);
        if (SUCCEEDED(hr)) hr = element.ChangeType(VT_BSTR);
        if (FAILED(hr)) return hr;
        CComBSTR bstrDecoded;
        hr = this->SubmitDecode(element.bstrVal, bstrDecoded.Receive());
        if (FAILED(hr)) return hr;
        CComVariant decoded;
        decoded.SetBSTR(bstrDecoded.Detach());
        hr = SafeArrayPutElement(psa, &i, &decoded);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

template <class T>
HRESULT GIVeskImpl<T>::CurrentCommandKey(CComBSTR& bstrKey) {
    if (m_bBackable) return CopyText(m_bstrCommandName, bstrKey);
    CComBSTR bstrName;
    const HRESULT hr = CurrentSession()->GetCommandName(bstrName.Receive());
    if (FAILED(hr)) return hr;
    bstrKey = std::move(bstrName);
    return S_OK;
}

// ---- Conversions -------------------------------------------------------------------------

template <class T>
HRESULT GIVeskImpl<T>::ToArray(IDispatch* pList, SAFEARRAY** ppArray) {
    if (ppArray == nullptr) return E_INVALIDARG;
    *ppArray = nullptr;
    if (pList == nullptr) return E_INVALIDARG;
    CComPtr<IStringList> spList;
    HRESULT hr = pList->QueryInterface(zul_uuidof<IStringList>(), spList.ReceiveVoid());
    if (FAILED(hr)) return hr;
    if (!spList) return E_NOINTERFACE;
    int nCount = 0;
    hr = spList->get_Count(&nCount);
    if (FAILED(hr)) return hr;
    if (nCount < 0) nCount = 0;
    CComSafeArray array;
    array.Attach(SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(nCount)));
    if (!array) return E_OUTOFMEMORY;
    for (LONG i = 0; i < nCount; ++i) {
        CComVariant index;
        index.SetI4(i + 1);
        CComVariant item;
        // An item that cannot be read stays Empty; the others are still copied.
        if (FAILED(spList->get_Item(index, &item))) continue;
        hr = SafeArrayPutElement(array.Get(), &i, &item);
        if (FAILED(hr)) return hr;
    }
    *ppArray = array.Detach();
    return S_OK;
}

template <class T>
HRESULT GIVeskImpl<T>::ToCommand(BSTR bstrCommand, BSTR* pbstrFragment) {
    if (pbstrFragment == nullptr) return E_INVALIDARG;
    *pbstrFragment = nullptr;
    CComBSTR bstrKey;
    HRESULT hr = CurrentCommandKey(bstrKey);
    if (FAILED(hr)) return hr;
    CComBSTR bstrPair;
    hr = EncodedPair(bstrKey, bstrCommand, bstrPair);
    if (FAILED(hr)) return hr;
    const CComBSTR bstrQuestion(L"?");
    CComBSTR bstrFragment;
    hr = Join({&bstrQuestion, &bstrPair}, bstrFragment);
    if (FAILED(hr)) return hr;
    *pbstrFragment = bstrFragment.Detach();
    return S_OK;
}

template <class T>
HRESULT GIVeskImpl<T>::ToParameter(BSTR bstrName, BSTR bstrValue, BSTR* pbstrFragment) {
    if (pbstrFragment == nullptr) return E_INVALIDARG;
    *pbstrFragment = nullptr;
    CComBSTR bstrPair;
    const HRESULT hr = EncodedPair(bstrName, bstrValue, bstrPair);
    if (FAILED(hr)) return hr;
    *pbstrFragment = bstrPair.Detach();
    return S_OK;
}

template <class T>
HRESULT GIVeskImpl<T>::EncodedPair(BSTR bstrName, BSTR bstrValue, CComBSTR& bstrPair) {
    // Only a controller made without a page context has no Server.
    if (!m_spServer) return E_UNEXPECTED;
    const CComPtr<IServer> spServer = CComPtr<IServer>::Share(m_spServer.Get());
    CComBSTR bstrName2, bstrValue2;
    HRESULT hr = spServer->URLEncode(bstrName, bstrName2.Receive());
    if (FAILED(hr)) return hr;
    hr = spServer->URLEncode(bstrValue, bstrValue2.Receive());
    if (FAILED(hr)) return hr;
    const CComBSTR bstrEquals(L"="), bstrAmpersand(L"&");
    return Join({&bstrName2, &bstrEquals, &bstrValue2, &bstrAmpersand}, bstrPair);
}

// ---- Redirect and the helper objects -----------------------------------------------------

template <class T>
HRESULT GIVeskImpl<T>::Redirect(BSTR bstrLocation) {
    if (!m_spResponse) return E_UNEXPECTED;
    const CComPtr<IResponse> spResponse = CComPtr<IResponse>::Share(m_spResponse.Get());
    CComBSTR bstrStatus(kRedirectStatus), bstrHeader(kLocationHeader);
    if (bstrStatus.m_str == nullptr || bstrHeader.m_str == nullptr) return E_OUTOFMEMORY;
    // The page goes on: what it writes afterwards still reaches the response.
    const HRESULT hr = spResponse->put_Status(bstrStatus);
    if (FAILED(hr)) return hr;
    return spResponse->AddHeader(bstrHeader, bstrLocation);
}

template <class T>
HRESULT GIVeskImpl<T>::NewADOCommand(VARIANT* pConnection, BSTR bstrCommandText, long nCommandType,
                                     IDispatch** ppCommand) {
    if (ppCommand == nullptr || pConnection == nullptr) return E_INVALIDARG;
    *ppCommand = nullptr;
    CComPtr<IZULDBCommand> spCommand;
    HRESULT hr = CoCreateInstance(zul_uuidof<ADODB::Command>(), nullptr, kClassContext, zul_uuidof<IZULDBCommand>(),
                                  spCommand.ReceiveVoid());
    if (FAILED(hr)) return hr;
    if (!spCommand) return E_NOINTERFACE;
    // The script's value as it came, connection object or connection string: borrowed for
    // the call, the command keeps what it needs.
    hr = spCommand->put_ActiveConnection(*pConnection);
    if (FAILED(hr)) return hr;
    hr = spCommand->put_CommandType(static_cast<ADODB::CommandTypeEnum>(nCommandType));
    if (FAILED(hr)) return hr;
    hr = spCommand->put_CommandText(bstrCommandText);
    if (FAILED(hr)) return hr;
    return spCommand->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(ppCommand));
}

template <class T>
HRESULT GIVeskImpl<T>::NewTemplator(BSTR bstrEventPrefix, IDispatch** ppTemplator) {
    if (ppTemplator == nullptr) return E_INVALIDARG;
    *ppTemplator = nullptr;
    CComPtr<IDispatch> spTemplator;
    HRESULT hr = CreateVeskedTemplator(spTemplator.Receive());
    if (FAILED(hr)) return hr;
    if (!spTemplator) return E_NOINTERFACE;
    // Without a Bag (no session state chosen yet, or the null session, whose message stays
    // set) the templator simply has none.
    CComPtr<IZULibDictionary> spBag;
    if (FAILED(CurrentSession()->get_Bag(spBag.Receive()))) spBag.Reset();
    CComPtr<CTemplatorLink> spLink;
    hr = m_oTemplatorLink.Get(static_cast<T*>(this), &m_bSelfEncode, spLink.Receive());
    if (FAILED(hr)) return hr;
    hr = WireVeskedTemplator(spTemplator.Get(), {spLink.Get(), bstrEventPrefix, m_spView.Get(), spBag.Get()});
    if (FAILED(hr)) return hr;
    *ppTemplator = spTemplator.Detach();
    return S_OK;
}

template HRESULT GIVeskImpl<IVesk>::PutIntoBag(BSTR, VARIANT_BOOL);
template HRESULT GIVeskImpl<IVesk>::PutIntoView(BSTR, VARIANT_BOOL);
template HRESULT GIVeskImpl<IVesk>::PutIntoProp(BSTR, VARIANT_BOOL);
template HRESULT GIVeskImpl<IVesk>::PutInto(IZULibDictionary*, BSTR, short);
template HRESULT GIVeskImpl<IVesk>::ToArray(IDispatch*, SAFEARRAY**);
template HRESULT GIVeskImpl<IVesk>::ToCommand(BSTR, BSTR*);
template HRESULT GIVeskImpl<IVesk>::ToParameter(BSTR, BSTR, BSTR*);
template HRESULT GIVeskImpl<IVesk>::Redirect(BSTR);
template HRESULT GIVeskImpl<IVesk>::NewADOCommand(VARIANT*, BSTR, long, IDispatch**);
template HRESULT GIVeskImpl<IVesk>::NewTemplator(BSTR, IDispatch**);
