#include "platform/ComVariant.h"

#include <cmath>

namespace LumoCom
{

namespace
{

bool HoldsReference(VarType vt)
{
    return vt == VT_UNKNOWN || vt == VT_DISPATCH;
}

} // namespace

Variant::Variant(const Variant& other) : vt(other.vt), i8(other.i8), decimal(other.decimal), bstr(other.bstr)
{
    if (HoldsReference(vt) && unk)
        unk->AddRef();
}

Variant::Variant(Variant&& other) noexcept : Variant()
{
    Swap(other);
}

Variant& Variant::operator=(Variant other) noexcept
{
    Swap(other);
    return *this;
}

void Variant::Swap(Variant& other) noexcept
{
    std::swap(vt, other.vt);
    std::swap(i8, other.i8);
    std::swap(decimal, other.decimal);
    bstr.swap(other.bstr);
}

void Variant::Clear()
{
    if (HoldsReference(vt) && unk)
        unk->Release();
    vt = VT_EMPTY;
    i8 = 0;
    decimal = {};
    bstr.clear();
}

Variant Variant::Long(int32_t value)
{
    Variant v;
    v.vt = VT_I4;
    v.i4 = value;
    return v;
}

Variant Variant::Short(int16_t value)
{
    Variant v;
    v.vt = VT_I2;
    v.i2 = value;
    return v;
}

Variant Variant::Bool(bool value)
{
    Variant v;
    v.vt = VT_BOOL;
    v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

Variant Variant::String(std::wstring value)
{
    Variant v;
    v.vt = VT_BSTR;
    v.bstr = std::move(value);
    return v;
}

Variant Variant::Object(IUnknown* value, VarType type)
{
    Variant v;
    v.vt = type;
    v.unk = value;
    if (value)
        value->AddRef();
    return v;
}

Variant Variant::Ref(VarType type, void* storage)
{
    Variant v;
    v.vt = VarType(type | VT_BYREF);
    v.byref = storage;
    return v;
}

bool DecimalToDouble(const Decimal& value, double& out)
{
    if (value.scale > 28)
        return false;
    double magnitude = std::ldexp(double(value.hi32), 64) + double(value.lo64);
    out = magnitude / std::pow(10.0, value.scale);
    if (value.sign & 0x80)
        out = -out;
    return true;
}

bool DoubleToDecimal(double value, Decimal& out)
{
    double magnitude = std::fabs(value);
    if (!std::isfinite(value) || magnitude >= std::ldexp(1.0, 96))
        return false;
    out = {};
    out.sign = value < 0 ? 0x80 : 0;
    // The smallest scale that represents the value exactly enough, keeping 15 significant digits.
    while (out.scale < 28 && magnitude != std::floor(magnitude) && magnitude * 10 < std::ldexp(1.0, 63) &&
           magnitude < 1e15)
    {
        magnitude *= 10;
        ++out.scale;
    }
    magnitude = std::round(magnitude);
    out.hi32 = uint32_t(std::floor(std::ldexp(magnitude, -64)));
    out.lo64 = uint64_t(magnitude - std::ldexp(double(out.hi32), 64));
    return true;
}

} // namespace LumoCom
