// ScriptObject: a small late-bound object standing in for a page script in tests. Named
// properties (VARIANT values) and named methods are added at run time; names match ignoring
// case, unknown names fail with DISP_E_UNKNOWNNAME. Invoke follows the automation rules:
// arguments arrive last-first in DISPPARAMS and reach a Method in script order; a property
// put carries its value as the one named argument DISPID_PROPERTYPUT.
//
//   CComPtr<ScriptObject> script = ScriptObject::Create();
//   script->SetProperty(L"Title", VarStr(L"Home"));
//   script->AddMethod(L"On_StartProcess", [](ScriptObject::Args args, VARIANT* result) {
//       result->vt = VT_BOOL;
//       result->boolVal = VARIANT_TRUE;
//       return S_OK;
//   });
//   controller->AddScript(script.Get());          // hand it over as an IDispatch
//   EXPECT_EQ(1, script->CallCount(L"on_startprocess"));
//   CComVariant title = script->Property(L"title");
//
// The object is reference counted and deletes itself when the count reaches zero; Create()
// hands out the first reference. SetDefaultMember(name) makes a member answer DISPID_VALUE.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/automation.h"

namespace vesk_test {

class ScriptObject final : public automation::GObject<ScriptObject, automation::GNoTypeInfo<IDispatch>> {
public:
    // The call's arguments in script order (args[0] is the first); each may be by reference.
    using Args = const std::vector<VARIANT*>&;
    // result is an empty VARIANT to fill; the HRESULT is what Invoke returns.
    using Method = std::function<HRESULT(Args args, VARIANT* result)>;

    static CComPtr<ScriptObject> Create();

    // Adds the property, or replaces its value (a deep copy is stored).
    ScriptObject& SetProperty(std::wstring_view name, const VARIANT& value);
    // Adds the method, or replaces the member of that name.
    ScriptObject& AddMethod(std::wstring_view name, Method method);
    // The member that answers DISPID_VALUE (a property or a method); it must exist.
    ScriptObject& SetDefaultMember(std::wstring_view name);

    bool Has(std::wstring_view name) const { return Find(name) != nullptr; }
    // A copy of the property's current value; empty when there is no such property.
    CComVariant Property(std::wstring_view name) const;
    // How often the member was invoked (gets, puts and calls all count).
    int CallCount(std::wstring_view name) const;

    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                          DISPID* rgDispId) override;
    HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

private:
    struct Member {
        std::wstring name;
        bool isMethod = false;
        CComVariant value;
        Method method;
        int calls = 0;
    };

    friend GObject;
    ScriptObject() = default;
    ~ScriptObject() = default;
    const Member* Find(std::wstring_view name) const;
    Member& Slot(std::wstring_view name, bool isMethod);  // found or added, emptied

    std::vector<Member> m_members;  // DISPID = index + 1
    int m_default = -1;             // index of the DISPID_VALUE member
};

}  // namespace vesk_test
