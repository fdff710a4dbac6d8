// Unpacking IDispatch::Invoke arguments and filling its result VARIANT.
// Argument positions count from 0 in the order the script wrote them; DISPPARAMS keeps them
// last-to-first, and these helpers hide that. Named arguments are never consulted.
#pragma once

#include "host/oaidl.h"

// The argument VARIANT at a position, or null when there is none. A by-reference VARIANT
// argument (VT_BYREF | VT_VARIANT) is followed once to the VARIANT it refers to.
VARIANT* disp_arg(DISPPARAMS* args, UINT position);

// Converts the argument to type vt into out (which must be initialised and empty).
// DISP_E_BADPARAMCOUNT when the argument is missing, DISP_E_TYPEMISMATCH when it does not
// convert.
HRESULT coerce_arg(DISPPARAMS* args, UINT position, VARTYPE vt, VARIANT* out);

// An object argument as IDispatch (a VT_UNKNOWN one is asked for IDispatch). The pointer is
// borrowed for the duration of the call: no reference is handed to the caller.
HRESULT get_dispatch_arg(DISPPARAMS* args, UINT position, IDispatch** out);

// An object argument (VT_UNKNOWN or VT_DISPATCH) as IUnknown, borrowed like the above.
HRESULT get_unknown_arg(DISPPARAMS* args, UINT position, IUnknown** out);

// Result helpers. The result VARIANT is taken to be empty on entry, as Invoke promises; when
// the caller passed no result VARIANT the value is freed or released instead. Each takes
// ownership of what it is given.
HRESULT set_bstr_result(VARIANT* result, BSTR value);
HRESULT set_dispatch_result(VARIANT* result, IDispatch* value);
HRESULT set_unknown_result(VARIANT* result, IUnknown* value);
HRESULT set_bool_result(VARIANT* result, VARIANT_BOOL value);
// Copies value (which stays with the caller) into the result.
HRESULT set_variant_result(VARIANT* result, const VARIANT* value);

// Member-name comparison: both present and equal ignoring case.
bool name_eq(const wchar_t* name, const wchar_t* candidate);
