#pragma once
// The variant of our COM-like layer: a type tag and a value, with the type numbers and value
// semantics of the component model's VARIANT (strings are owned, object references counted, by-
// reference variants point at storage their maker owns). DispParams carries the arguments of one
// Invoke, last argument first, as the model passes them.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ComObject.h"

namespace LumoCom
{

using VarType = uint16_t;

enum : VarType
{
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_PTR = 26,
    VT_SAFEARRAY = 27,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0x0FFF,
};

using VariantBool = int16_t;
constexpr VariantBool VARIANT_TRUE = -1;
constexpr VariantBool VARIANT_FALSE = 0;

// A 96-bit scaled integer: value = (hi32 * 2^64 + lo64) / 10^scale, negative when sign is 0x80.
struct Decimal
{
    uint8_t scale = 0;
    uint8_t sign = 0;
    uint32_t hi32 = 0;
    uint64_t lo64 = 0;
};

// False when the scale is above 28 (no such decimal).
bool DecimalToDouble(const Decimal& value, double& out);
// False when the magnitude does not fit 96 bits or the value is not finite.
bool DoubleToDecimal(double value, Decimal& out);

class Variant
{
public:
    VarType vt = VT_EMPTY;
    union
    {
        int8_t i1;
        uint8_t ui1;
        int16_t i2;
        uint16_t ui2;
        int32_t i4;
        uint32_t ui4;
        int64_t i8;
        uint64_t ui8;
        float r4;
        double r8;
        double date; // days since 1899-12-30, the fraction being the time of day
        VariantBool boolVal;
        HRESULT scode;
        IUnknown* unk; // VT_UNKNOWN and VT_DISPATCH: one reference held
        void* byref;   // with VT_BYREF: the storage of the type below the flag
    };
    Decimal decimal;
    std::wstring bstr; // VT_BSTR

    Variant() : i8(0) {}
    Variant(const Variant& other);
    Variant(Variant&& other) noexcept;
    Variant& operator=(Variant other) noexcept;
    ~Variant() { Clear(); }

    void Clear();
    void Swap(Variant& other) noexcept;

    bool IsByRef() const { return (vt & VT_BYREF) != 0; }
    VarType BaseType() const { return VarType(vt & VT_TYPEMASK); }

    static Variant Long(int32_t value);
    static Variant Short(int16_t value);
    static Variant Bool(bool value);
    static Variant String(std::wstring value);
    static Variant Object(IUnknown* value, VarType type = VT_UNKNOWN); // takes a new reference
    static Variant Ref(VarType type, void* storage);                  // type without VT_BYREF
};

struct DispParams
{
    std::vector<Variant> args; // args[0] is the last argument
};

} // namespace LumoCom
