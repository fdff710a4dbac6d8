// Everything tests share: HRESULT and BSTR assertions, VARIANT makers, the counting
// IDispatch double and the scriptable object.
#pragma once

#include "support/bstr_compare.h"
#include "support/counting_dispatch.h"
#include "support/hresult_names.h"
#include "support/script_object.h"
#include "support/variants.h"
