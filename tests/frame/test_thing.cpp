#include "frame/test_thing.h"

namespace vesk_test {

HRESULT CountArgs(void*, DISPPARAMS* params, VARIANT* result) {
    if (result) {
        VariantInit(result);
        result->vt = VT_I4;
        result->lVal = params ? static_cast<LONG>(params->cArgs) : -1;
    }
    return S_OK;
}

constinit ThingTypeInfo g_thing_typeinfo;
ITypeInfo* g_pTI_ITestThing = &g_thing_typeinfo;
long g_nThingCount = 0;
long g_nCtxThingCount = 0;
long g_nHeapThingCount = 0;

CThingFactory g_oCF_Thing;
CCtxThingFactory g_oCF_CtxThing;
CHeapThingFactory g_oCF_HeapThing;

}  // namespace vesk_test
