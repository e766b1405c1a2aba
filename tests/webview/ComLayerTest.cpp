#include <gtest/gtest.h>

#include <cmath>

#include "platform/ComClassRegistry.h"
#include "platform/ComConnectionPoint.h"
#include "platform/ComVariant.h"

using namespace LumoCom;

namespace
{

class CountingSink final : public IDispatch, public LiveCounter<CountingSink>
{
public:
    HRESULT QueryInterface(const Guid& iid, void** out) override
    {
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IDispatch::kIid)
            return Answer(static_cast<IDispatch*>(this), out);
        return E_NOINTERFACE;
    }
    LUMOCOM_REFCOUNTED
    HRESULT GetTypeInfoCount(uint32_t*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(uint32_t, IUnknown**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(const std::wstring*, uint32_t, DispId*) override { return E_NOTIMPL; }
    HRESULT Invoke(DispId dispid, uint16_t, DispParams*, Variant*) override
    {
        calls.push_back(dispid);
        if (onInvoke)
            onInvoke();
        return S_OK;
    }
    int32_t Count() { return m_refCount.Value(); }
    std::vector<DispId> calls;
    std::function<void()> onInvoke;
};

TEST(ComLayerTest, GuidTextRoundTrips)
{
    constexpr Guid clsid = Guid::Parse("8856F961-340A-11D0-A96B-00C04FD705A2");
    static_assert(clsid.data1 == 0x8856F961 && clsid.data4[7] == 0xA2);
    EXPECT_EQ("8856F961-340A-11D0-A96B-00C04FD705A2", clsid.ToString());
    EXPECT_THROW(Guid::Parse("8856F961-340A-11D0-A96B-00C04FD705A"), const char*);
    EXPECT_THROW(Guid::Parse("8856F961+340A-11D0-A96B-00C04FD705A2"), const char*);
}

TEST(ComLayerTest, ConnectionPointCallsEverySinkConnectedWhenTheEventStarts)
{
    auto point = ComPtr<ConnectionPoint>(new ConnectionPoint(IDispatch::kIid));
    auto first = ComPtr<CountingSink>(new CountingSink());
    auto second = ComPtr<CountingSink>(new CountingSink());
    uint32_t firstCookie = 0, secondCookie = 0;
    ASSERT_EQ(S_OK, point->Advise(first.Get(), &firstCookie));
    ASSERT_EQ(S_OK, point->Advise(second.Get(), &secondCookie));
    EXPECT_NE(firstCookie, secondCookie);
    EXPECT_EQ(2, first->Count());
    // The first sink disconnects the second during the event: the second still gets this one.
    first->onInvoke = [&] { point->Unadvise(secondCookie); };
    DispParams none;
    point->Fire(7, none);
    point->Fire(8, none);
    EXPECT_EQ((std::vector<DispId>{7, 8}), first->calls);
    EXPECT_EQ((std::vector<DispId>{7}), second->calls);
    EXPECT_EQ(1, second->Count());
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(secondCookie));
    uint32_t cookie = 0;
    EXPECT_EQ(E_INVALIDARG, point->Advise(nullptr, &cookie));
    point->Clear();
    EXPECT_EQ(1, first->Count());
}

TEST(ComLayerTest, ClassRegistryCreatesRegisteredClassesOnly)
{
    constexpr Guid clsid = Guid::Parse("0F0F0F0F-0000-4000-8000-0000000000AA");
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, CreateInstance(clsid, IID_IUnknown, &out));
    EXPECT_EQ(nullptr, out);
    RegisterClass(clsid, FactoryOf<CountingSink>());
    EXPECT_EQ(E_NOINTERFACE, CreateInstance(clsid, IConnectionPoint::kIid, &out));
    EXPECT_EQ(0, LiveCounter<CountingSink>::Live()); // a failed query frees the new object
    ASSERT_EQ(S_OK, CreateInstance(clsid, IDispatch::kIid, &out));
    EXPECT_EQ(0u, static_cast<IDispatch*>(out)->Release());
    RegisterClass(clsid, {});
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, CreateInstance(clsid, IID_IUnknown, &out));
}

TEST(ComLayerTest, VariantsCopyStringsAndCountObjectReferences)
{
    auto sink = ComPtr<CountingSink>(new CountingSink());
    {
        Variant object = Variant::Object(sink.Get(), VT_DISPATCH);
        Variant copy = object;
        Variant moved = std::move(copy);
        EXPECT_EQ(3, sink->Count());
        EXPECT_EQ(VT_EMPTY, copy.vt);
        Variant text = Variant::String(L"abc");
        moved = text;
        EXPECT_EQ(2, sink->Count());
        EXPECT_EQ(L"abc", moved.bstr);
    }
    EXPECT_EQ(1, sink->Count());
}

TEST(ComLayerTest, DecimalsConvertBothWays)
{
    struct Case { Decimal decimal; double value; } cases[] = {
        {{2, 0, 0, 12345}, 123.45},
        {{0, 0, 1, 0}, 18446744073709551616.0},
        {{4, 0x80, 0, 15}, -0.0015},
    };
    for (const Case& c : cases)
    {
        double value = 0;
        ASSERT_TRUE(DecimalToDouble(c.decimal, value));
        EXPECT_DOUBLE_EQ(c.value, value);
        Decimal back;
        ASSERT_TRUE(DoubleToDecimal(c.value, back));
        ASSERT_TRUE(DecimalToDouble(back, value));
        EXPECT_DOUBLE_EQ(c.value, value);
    }
    double value = 0;
    EXPECT_FALSE(DecimalToDouble({29, 0, 0, 1}, value));
    Decimal out;
    EXPECT_FALSE(DoubleToDecimal(std::ldexp(1.0, 96), out));
    EXPECT_FALSE(DoubleToDecimal(NAN, out));
}

} // namespace
