// Owned VARIANT values in one expression: VarStr(L"x"), VarI4(5), VarDisp(obj) ...
#pragma once

#include "host/ccom.h"

namespace vesk_test {

inline CComVariant VarStr(const wchar_t* text) { CComVariant v; v.SetString(text); return v; }
inline CComVariant VarI4(LONG value) { CComVariant v; v.SetI4(value); return v; }
inline CComVariant VarBool(bool value) { CComVariant v; v.SetBool(value); return v; }
inline CComVariant VarR8(double value) { CComVariant v; v.vt = VT_R8; v.dblVal = value; return v; }
inline CComVariant VarNull() { CComVariant v; v.SetNull(); return v; }
inline CComVariant VarDisp(IDispatch* borrowed) { CComVariant v; v.SetDispatch(borrowed); return v; }

}  // namespace vesk_test
