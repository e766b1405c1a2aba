#include "webview/VariantConversion.h"

#include <gtest/gtest.h>

#include <wx/datetime.h>

using namespace LumoCom;

namespace
{

Variant Typed(VarType vt, int64_t bits)
{
    Variant v;
    v.vt = vt;
    v.i8 = bits;
    return v;
}

TEST(VariantConversionTest, ControlVariantsIntoToolkitVariants)
{
    int16_t i2 = -5;
    std::wstring text = L"ref";
    Variant inner = Variant::Long(41);
    Variant date;
    date.vt = VT_DATE;
    date.date = 2.5; // 1900-01-01 12:00
    Variant decimal;
    decimal.vt = VT_DECIMAL;
    decimal.decimal = {1, 0x80, 0, 15};
    struct Case { const char* name; Variant from; bool converted; const char* type; wxString text; } cases[] = {
        {"I2", Variant::Short(-3), true, "long", "-3"},
        {"I4", Variant::Long(-70000), true, "long", "-70000"},
        {"UI4 stays positive", Typed(VT_UI4, 0xFFFFFFFF), true, "long", "4294967295"},
        {"BSTR", Variant::String(L"x"), true, "string", "x"},
        {"BOOL", Variant::Bool(true), true, "bool", "1"},
        {"I1", Typed(VT_I1, 'a'), true, "char", "a"},
        {"DECIMAL", decimal, true, "double", "-1.5"},
        {"DATE", date, true, "datetime", ""},
        {"I2 by reference", Variant::Ref(VT_I2, &i2), true, "long", "-5"},
        {"BSTR by reference", Variant::Ref(VT_BSTR, &text), true, "string", "ref"},
        {"VARIANT by reference", Variant::Ref(VT_VARIANT, &inner), true, "long", "41"},
        {"null reference", Variant::Ref(VT_I4, nullptr), false, "null", ""},
        {"array", Typed(VT_ARRAY | VT_I4, 0), false, "null", ""},
        {"DISPATCH", Typed(VT_DISPATCH, 0), false, "void*", ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        wxVariant to(wxString("stale"), "Name");
        EXPECT_EQ(c.converted, MSWVariantToVariant(c.from, to));
        EXPECT_EQ(c.type, to.GetType());
        EXPECT_EQ("Name", to.GetName());
        if (!c.text.empty())
        {
            EXPECT_EQ(c.text, to.MakeString());
        }
    }
    wxVariant when;
    ASSERT_TRUE(MSWVariantToVariant(date, when));
    EXPECT_EQ(wxDateTime(1, wxDateTime::Jan, 1900, 12, 0, 0), when.GetDateTime());
}

// A VT_VARIANT held by value is read as the type of its target; a target without one is left null.
TEST(VariantConversionTest, VariantByValueIsReadAsTheTargetsType)
{
    Variant held = Typed(VT_VARIANT, 0);
    held.i4 = -41;
    Variant text = Typed(VT_VARIANT, 0);
    text.bstr = L"held";
    struct Case { const Variant& from; wxVariant target; bool converted; const char* type; const char* text; } cases[] = {
        {held, wxVariant(7L), true, "long", "-41"},
        {text, wxVariant(wxString("stale")), true, "string", "held"},
        {held, wxVariant(), false, "null", ""},
    };
    for (Case& c : cases)
    {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(c.converted, MSWVariantToVariant(c.from, c.target));
        EXPECT_EQ(c.type, c.target.GetType());
        EXPECT_EQ(c.text, c.target.MakeString());
    }
}

TEST(VariantConversionTest, WriteBackKeepsTheControlsTypeAndWidth)
{
    VariantBool cancel = VARIANT_FALSE;
    int32_t number = 0;
    std::wstring text;
    uint8_t byte = 0;
    Variant target = Variant::Short(0);
    Variant boolRef = Variant::Ref(VT_BOOL, &cancel), longRef = Variant::Ref(VT_I4, &number);
    Variant textRef = Variant::Ref(VT_BSTR, &text), byteRef = Variant::Ref(VT_UI1, &byte);
    Variant variantRef = Variant::Ref(VT_VARIANT, &target);

    EXPECT_TRUE(VariantToMSWVariant(wxVariant(true), boolRef));
    EXPECT_TRUE(VariantToMSWVariant(wxVariant(123456L), longRef));
    EXPECT_TRUE(VariantToMSWVariant(wxVariant(wxString("back")), textRef));
    EXPECT_TRUE(VariantToMSWVariant(wxVariant(0x1FFL), byteRef));
    EXPECT_TRUE(VariantToMSWVariant(wxVariant(70000L), variantRef));
    EXPECT_EQ(VARIANT_TRUE, cancel);
    EXPECT_EQ(123456, number);
    EXPECT_EQ(L"back", text);
    EXPECT_EQ(0xFF, byte);
    EXPECT_EQ(int16_t(70000), target.i2);

    Variant nullRef = Variant::Ref(VT_BOOL, nullptr);
    Variant object = Typed(VT_UNKNOWN, 0);
    EXPECT_FALSE(VariantToMSWVariant(wxVariant(true), nullRef));
    EXPECT_FALSE(VariantToMSWVariant(wxVariant(true), object));
    EXPECT_FALSE(VariantToMSWVariant(wxVariant(), boolRef)); // a null variant writes nothing
    EXPECT_EQ(VARIANT_TRUE, cancel);
}

} // namespace
