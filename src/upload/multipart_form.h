// The upload collections: GMultipartForm<T> (the host's IRequestDictionary) maps each field
// name to its values in body order, text fields as strings and file fields as IFormFile
// objects; looking a name up yields a GMultipartFormStringList<T> (the host's IStringList)
// over that name's values. A value list refers to the form's storage and keeps the form
// alive while it does.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "frame/module.h"
#include "host/host.h"

using CUploadValues = std::vector<CComVariant>;

template <class T>
class GMultipartForm : public T {
public:
    GMultipartForm() = default;
    ~GMultipartForm() = default;
    GMultipartForm(const GMultipartForm&) = delete;
    GMultipartForm& operator=(const GMultipartForm&) = delete;

    HRESULT get_Item(VARIANT Var, VARIANT* pVariantReturn) override;
    HRESULT get__NewEnum(IUnknown** ppEnumReturn) override;
    HRESULT get_Count(int* cStrRet) override;
    HRESULT get_Key(VARIANT VarKey, VARIANT* pvar) override;

    // Appends a value (taken over) to the field's values; the upload's only way in.
    HRESULT Append(const std::wstring& strName, CComVariant&& value);

private:
    // Exact names, code unit by code unit.
    std::map<std::wstring, CUploadValues> m_mapValues;
};

template <class T>
class GMultipartFormStringList : public T {
public:
    GMultipartFormStringList() = default;
    ~GMultipartFormStringList() = default;
    GMultipartFormStringList(const GMultipartFormStringList&) = delete;
    GMultipartFormStringList& operator=(const GMultipartFormStringList&) = delete;

    // With an index (1-based) the value there; without one the only value, or every value
    // as text joined with ", ".
    HRESULT get_Item(VARIANT i, VARIANT* pVariantReturn) override;
    HRESULT get_Count(int* cStrRet) override;
    HRESULT get__NewEnum(IUnknown** ppEnumReturn) override;

    // Set once by the form that made the list: the form (one reference) and its values.
    void Bind(PravoltTypeLibrary::IRequestDictionary* pForm, const CUploadValues* pValues);

private:
    CComPtr<PravoltTypeLibrary::IRequestDictionary> m_spForm;
    const CUploadValues* m_pValues = nullptr;
};

// The implementation behind an upload form the library made.
inline GMultipartForm<PravoltTypeLibrary::IRequestDictionary>* MultipartFormOf(
    PravoltTypeLibrary::IRequestDictionary* pForm) {
    return static_cast<GMultipartForm<PravoltTypeLibrary::IRequestDictionary>*>(pForm);
}
