// CountingDispatch: an IDispatch test double that only counts references, for ownership
// tests. It starts at 1 (the test's own reference) and never deletes itself, so it lives on
// the stack and RefCount() can be checked after every step:
//   CountingDispatch obj;
//   { CComVariant v = VarDisp(&obj); EXPECT_EQ(2u, obj.RefCount()); }
//   EXPECT_EQ(1u, obj.RefCount());
#pragma once

#include "host/automation.h"

namespace vesk_test {

// What the test doubles share: they answer IUnknown and IDispatch and have no type
// information. Reference counting is the double's own.
using DispatchBase = automation::GInterfaceList<automation::GNoTypeInfo<IDispatch>>;

// A dispatch double that knows no names and no members, over Base (a DispatchBase or one of
// the toolkit's counting objects).
template <class Base>
class GNoMembers : public Base {
public:
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT cNames, LCID, DISPID* ids) override {
        for (UINT i = 0; ids && i < cNames; ++i) ids[i] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return DISP_E_MEMBERNOTFOUND;
    }
};

using CountingDispatch = GNoMembers<automation::GCountedObject<automation::GNoTypeInfo<IDispatch>>>;

}  // namespace vesk_test
