#include "webview/VariantConversion.h"

#include <wx/datetime.h>

using namespace LumoCom;

namespace
{

// Dates count days from 1899-12-30 00:00, which is Julian day 2415018.5.
constexpr double kDateEpochJdn = 2415018.5;

// The storage of a variant's value: its pointer when by reference, else the variant's own union.
template <class T>
T* Slot(Variant& v)
{
    return v.IsByRef() ? static_cast<T*>(v.byref) : reinterpret_cast<T*>(&v.i8);
}

template <class T>
const T* Slot(const Variant& v)
{
    return Slot<T>(const_cast<Variant&>(v));
}

template <class T>
bool StoreLong(const wxVariant& from, Variant& to)
{
    long value = 0;
    wxUniChar character;
    if (from.GetType() == "char" && from.Convert(&character))
        value = long(character.GetValue());
    else if (!from.Convert(&value))
        return false;
    *Slot<T>(to) = static_cast<T>(value);
    return true;
}

} // namespace

bool MSWVariantToVariant(const Variant& from, wxVariant& to)
{
    wxString name = to.GetName();
    const VarType wanted = wxTypeToVType(to);
    to.MakeNull();
    to.SetName(name);
    if ((from.vt & VT_ARRAY) || (from.IsByRef() && !from.byref))
        return false;
    switch (from.BaseType())
    {
    case VT_I2: to = long(*Slot<int16_t>(from)); break;
    case VT_UI2: to = long(*Slot<uint16_t>(from)); break;
    case VT_I4:
    case VT_INT:
    case VT_ERROR: to = long(*Slot<int32_t>(from)); break;
    case VT_UI4:
    case VT_UINT: to = long(*Slot<uint32_t>(from)); break;
    case VT_R4: to = double(*Slot<float>(from)); break;
    case VT_R8: to = *Slot<double>(from); break;
    case VT_DATE:
    {
        wxDateTime date(*Slot<double>(from) + kDateEpochJdn);
        if (!date.IsValid())
            return false;
        to = date;
        break;
    }
    case VT_BSTR: to = wxString(from.IsByRef() ? *static_cast<const std::wstring*>(from.byref) : from.bstr); break;
    case VT_DISPATCH:
    case VT_UNKNOWN:
        to = static_cast<void*>(from.IsByRef() ? *static_cast<IUnknown**>(from.byref) : from.unk);
        to.SetName(name);
        return false;
    case VT_BOOL: to = *Slot<VariantBool>(from) != 0; break;
    case VT_VARIANT:
    {
        if (from.IsByRef())
            return MSWVariantToVariant(*static_cast<const Variant*>(from.byref), to);
        // A variant held by value has no type of its own: its value is read as the type the
        // target asks for. Only a plain value type can be read that way; anything else (an
        // untyped target among them) would never arrive at a type and is refused.
        if (wanted & (VT_BYREF | VT_ARRAY) || wanted == VT_NULL)
            return false;
        Variant changed(from);
        changed.vt = wanted;
        return MSWVariantToVariant(changed, to);
    }
    case VT_DECIMAL:
    {
        double value = 0;
        if (!DecimalToDouble(from.IsByRef() ? *static_cast<const Decimal*>(from.byref) : from.decimal, value))
            return false;
        to = value;
        break;
    }
    case VT_I1: to = char(*Slot<int8_t>(from)); break;
    case VT_UI1: to = char(*Slot<uint8_t>(from)); break;
    default: return false;
    }
    to.SetName(name);
    return true;
}

bool VariantToMSWVariant(const wxVariant& from, Variant& to)
{
    if ((to.vt & VT_ARRAY) || (to.IsByRef() && !to.byref))
        return false;
    switch (to.BaseType())
    {
    case VT_I2: return StoreLong<int16_t>(from, to);
    case VT_UI2: return StoreLong<uint16_t>(from, to);
    case VT_I4:
    case VT_INT:
    case VT_ERROR: return StoreLong<int32_t>(from, to);
    case VT_UI4:
    case VT_UINT: return StoreLong<uint32_t>(from, to);
    case VT_I1: return StoreLong<int8_t>(from, to);
    case VT_UI1: return StoreLong<uint8_t>(from, to);
    case VT_R4:
    case VT_R8:
    {
        double value = 0;
        if (!from.Convert(&value))
            return false;
        if (to.BaseType() == VT_R4)
            *Slot<float>(to) = float(value);
        else
            *Slot<double>(to) = value;
        return true;
    }
    case VT_DATE:
    {
        wxDateTime date;
        if (!from.Convert(&date) || !date.IsValid())
            return false;
        *Slot<double>(to) = date.GetJDN() - kDateEpochJdn;
        return true;
    }
    case VT_BSTR:
    {
        wxString text;
        if (!from.Convert(&text))
            return false;
        (to.IsByRef() ? *static_cast<std::wstring*>(to.byref) : to.bstr) = text.ToStdWstring();
        return true;
    }
    case VT_BOOL:
    {
        bool value = false;
        if (!from.Convert(&value))
            return false;
        *Slot<VariantBool>(to) = value ? VARIANT_TRUE : VARIANT_FALSE;
        return true;
    }
    case VT_DECIMAL:
    {
        double value = 0;
        return from.Convert(&value) &&
               DoubleToDecimal(value, to.IsByRef() ? *static_cast<Decimal*>(to.byref) : to.decimal);
    }
    case VT_VARIANT:
        return to.IsByRef() && VariantToMSWVariant(from, *static_cast<Variant*>(to.byref));
    default: return false;
    }
}

VarType wxTypeToVType(const wxVariant& value)
{
    const wxString type = value.GetType();
    if (type == "bool")
        return VT_BOOL;
    if (type == "char")
        return VT_I1;
    if (type == "datetime")
        return VT_DATE;
    if (type == "double")
        return VT_R8;
    if (type == "list" || type == "arrstring")
        return VT_ARRAY;
    if (type == "long")
        return VT_I4;
    if (type == "string")
        return VT_BSTR;
    if (type == "void*")
        return VT_BYREF | VT_VOID;
    return VT_NULL;
}
