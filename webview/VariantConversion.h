#pragma once
// Conversions between the control's variants and the toolkit's, for event parameters.
//
//   control type                          toolkit type   converted
//   VT_I2 VT_UI2 VT_I4 VT_ERROR VT_UI4     "long"         yes
//   VT_INT VT_UINT
//   VT_R4 VT_R8 VT_DECIMAL                 "double"       yes (a decimal when its scale is valid)
//   VT_DATE                                "datetime"     when the date is valid
//   VT_BSTR                                "string"       yes
//   VT_BOOL                                "bool"         yes (non-zero is true)
//   VT_I1 VT_UI1                           "char"         yes
//   VT_DISPATCH VT_UNKNOWN                 "void*"        no
//   VT_VARIANT by reference                as the referenced variant
//   VT_VARIANT by value                    as its value read as the type of the target variant
//                                          ("long", "string", ...); refused for an untyped
//                                          ("null"), list or pointer target
//   anything else, arrays, a null          null           no
//   by-reference pointer
//
// By-reference variants are read and written through their pointer. Writing back keeps the
// variant's type and truncates to its width.

#include <wx/variant.h>

#include "platform/ComVariant.h"

bool MSWVariantToVariant(const LumoCom::Variant& from, wxVariant& to);
bool VariantToMSWVariant(const wxVariant& from, LumoCom::Variant& to);
LumoCom::VarType wxTypeToVType(const wxVariant& value);
