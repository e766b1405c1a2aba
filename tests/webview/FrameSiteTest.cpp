#include "webview/FrameSite.h"

#include <gtest/gtest.h>

#include "tests/webview/WebViewFakes.h"

using namespace LumoCom;
using namespace fakes;

namespace
{

class FrameSiteTest : public ::testing::Test
{
protected:
    FrameSiteTest() : site(new FrameSite(&container)) {}
    TestContainer container{wxSize(320, 90)};
    ComPtr<FrameSite> site;
};

TEST_F(FrameSiteTest, EveryListedInterfaceAnswersWithOneIdentity)
{
    const Guid listed[] = {IID_IUnknown,           IOleClientSite::kIid,  IOleWindow::kIid,
                           IOleInPlaceSite::kIid,  IOleInPlaceSiteEx::kIid, IOleInPlaceUIWindow::kIid,
                           IOleInPlaceFrame::kIid, IParseDisplayName::kIid, IOleContainer::kIid,
                           IOleItemContainer::kIid, IDispatch::kIid,       IOleCommandTarget::kIid,
                           IOleDocumentSite::kIid, IAdviseSink::kIid,      IOleControlSite::kIid};
    void* identity = nullptr;
    ASSERT_EQ(S_OK, site->QueryInterface(IID_IUnknown, &identity));
    for (const Guid& iid : listed)
    {
        SCOPED_TRACE(iid.ToString());
        void* part = nullptr;
        ASSERT_EQ(S_OK, site->QueryInterface(iid, &part));
        void* back = nullptr;
        ASSERT_EQ(S_OK, static_cast<IUnknown*>(part)->QueryInterface(IID_IUnknown, &back));
        EXPECT_EQ(identity, back);
        static_cast<IUnknown*>(back)->Release();
        static_cast<IUnknown*>(part)->Release();
    }
    void* none = &identity;
    EXPECT_EQ(E_NOINTERFACE, site->QueryInterface(IWebBrowser2::kIid, &none));
    EXPECT_EQ(nullptr, none);
    static_cast<IUnknown*>(identity)->Release();
}

TEST_F(FrameSiteTest, AmbientProperties)
{
    struct Case { DispId id; VarType vt; int32_t value; } cases[] = {
        {DISPID_AMBIENT_SILENT, VT_BOOL, VARIANT_TRUE},
        {DISPID_AMBIENT_USERMODE, VT_BOOL, VARIANT_FALSE}, // the container's mode is switched off below
        {DISPID_AMBIENT_LOCALEID, VT_I4, 0},
        {DISPID_AMBIENT_FORECOLOR, VT_I4, 0x030201},
        {DISPID_AMBIENT_BACKCOLOR, VT_I4, 0x332211},
    };
    container.m_bAmbientUserMode = false;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.id);
        Variant result;
        ASSERT_EQ(S_OK, site->Invoke(c.id, DISPATCH_PROPERTYGET, nullptr, &result));
        EXPECT_EQ(c.vt, result.vt);
        EXPECT_EQ(c.value, c.vt == VT_BOOL ? result.boolVal : result.i4);
    }
    Variant untouched = Variant::Long(9);
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, site->Invoke(-1, DISPATCH_PROPERTYGET, nullptr, &untouched));
    EXPECT_EQ(S_OK, site->Invoke(DISPID_AMBIENT_SILENT, DISPATCH_METHOD, nullptr, &untouched));
    EXPECT_EQ(9, untouched.i4);
    EXPECT_EQ(E_INVALIDARG, site->Invoke(DISPID_AMBIENT_SILENT, DISPATCH_PROPERTYGET, nullptr, nullptr));
}

TEST_F(FrameSiteTest, WindowContextAndConstantAnswers)
{
    ComPtr<IOleInPlaceFrame> frame;
    ComPtr<IOleInPlaceUIWindow> doc;
    Rect pos, clip;
    OleInPlaceFrameInfo info;
    ASSERT_EQ(S_OK, site->GetWindowContext(frame.Put(), doc.Put(), &pos, &clip, &info));
    EXPECT_EQ((Rect{0, 0, 320, 90}), pos);
    EXPECT_EQ(pos, clip);
    EXPECT_EQ(20u, info.cb);
    EXPECT_TRUE(frame && doc);
    EXPECT_EQ(E_INVALIDARG, site->GetWindowContext(frame.Put(), doc.Put(), &pos, nullptr, &info));

    Rect border;
    EXPECT_EQ(INPLACE_E_NOTOOLSPACE, site->GetBorder(&border));
    EXPECT_EQ(E_INVALIDARG, site->GetBorder(nullptr));
    OleCmd commands[3] = {{1, 7}, {2, 7}, {3, 7}};
    EXPECT_EQ(S_OK, site->QueryStatus(nullptr, 3, commands, nullptr));
    EXPECT_EQ(0u, commands[0].cmdf | commands[1].cmdf | commands[2].cmdf);
    EXPECT_EQ(E_INVALIDARG, site->QueryStatus(nullptr, 1, nullptr, nullptr));
}

TEST_F(FrameSiteTest, ActiveObjectReferencesAndAccelerators)
{
    EXPECT_EQ(S_FALSE, site->TranslateAccelerator(static_cast<Msg*>(nullptr), uint16_t(0)));
    auto first = MakeFake<IOleInPlaceActiveObject>();
    auto second = MakeFake<IOleInPlaceActiveObject>();
    first->result = 42;
    ASSERT_EQ(S_OK, site->SetActiveObject(first.Get(), nullptr));
    ASSERT_EQ(S_OK, site->SetActiveObject(first.Get(), nullptr)); // the same one again
    EXPECT_EQ(2, first->Count());
    EXPECT_EQ(42, site->TranslateAccelerator(static_cast<Msg*>(nullptr), uint16_t(0)));
    site->SetActiveObject(second.Get(), nullptr);
    EXPECT_EQ(1, first->Count());
    EXPECT_EQ(2, second->Count());
    site->SetActiveObject(nullptr, nullptr);
    EXPECT_EQ(1, second->Count());
}

TEST_F(FrameSiteTest, DetachedSiteNeverReachesItsContainer)
{
    auto object = MakeFake<IOleInPlaceActiveObject>();
    site->Detach();
    wxWindow* window = nullptr;
    EXPECT_EQ(E_UNEXPECTED, site->GetWindow(&window));
    EXPECT_EQ(E_UNEXPECTED, site->SetActiveObject(object.Get(), nullptr));
    EXPECT_EQ(S_OK, site->ShowObject());
    Rect rect{0, 0, 1, 1};
    EXPECT_EQ(S_OK, site->OnPosRectChange(&rect));
    EXPECT_EQ(1, object->Count());
}

} // namespace
