#include "webview/ActiveXContainer.h"

#include <gtest/gtest.h>

#include "tests/webview/WebViewFakes.h"
#include "webview/ActiveXEvent.h"
#include "webview/ActiveXEvents.h"
#include "webview/FrameSite.h"

using namespace LumoCom;
using namespace fakes;

namespace
{

const wxEventType kEvtTestNavigate = RegisterActiveXEvent("testnavigate"); // registered in other case
const wxEventType kEvtTestProgress = RegisterActiveXEvent("TestProgress");

std::vector<std::string> CallsMatching(const std::string& prefix)
{
    std::vector<std::string> calls;
    for (auto& call : CallLog())
        if (call.rfind(prefix, 0) == 0)
            calls.push_back(call);
    return calls;
}

size_t IndexOf(const std::string& call)
{
    auto& log = CallLog();
    return size_t(std::find(log.begin(), log.end(), call) - log.begin());
}

class ActiveXContainerTest : public ::testing::Test
{
protected:
    void SetUp() override { RegisterFakeControl(); }
};

TEST_F(ActiveXContainerTest, CreationOrderFollowsTheControlsMiscStatus)
{
    struct Case { uint32_t misc; bool siteFirst; bool activated; } cases[] = {
        {0, false, true},
        {OLEMISC_SETCLIENTSITEFIRST, true, true},
        {OLEMISC_INVISIBLEATRUNTIME, false, false},
    };
    for (const Case& c : cases)
    {
        RegisterFakeControl();
        ControlConfig().miscStatus = c.misc;
        TestContainer container(wxSize(300, 120));
        container.CreateActiveX(kFakeControlClsid);
        SCOPED_TRACE(c.misc);
        EXPECT_EQ(c.siteFirst, IndexOf("SetClientSite") < IndexOf("InitNew"));
        EXPECT_LT(IndexOf("Advise"), IndexOf("SetHostNames"));
        EXPECT_EQ(c.activated, IndexOf("DoVerb(-5)") < CallLog().size());
        EXPECT_EQ(c.activated, IndexOf("DoVerb(-1)") < CallLog().size());
        if (c.activated)
        {
            EXPECT_EQ((Rect{0, 0, 300, 120}), LastControl()->lastRect);
        }
    }
}

TEST_F(ActiveXContainerTest, TablesComeFromTheTypeDescription)
{
    TestContainer container;
    container.CreateActiveX(kFakeControlClsid);
    ASSERT_EQ(3u, container.m_events.size());
    const ActiveXFuncX& navigate = container.m_events[container.m_eventMemberIds.at(kNavigate)];
    EXPECT_EQ(L"TestNavigate", navigate.name);
    EXPECT_TRUE(navigate.hasOut);
    EXPECT_TRUE(navigate.params[0].isPtr);
    EXPECT_EQ(VT_VARIANT, navigate.params[0].vt);
    EXPECT_FALSE(container.m_events[container.m_eventMemberIds.at(kProgress)].hasOut);
    EXPECT_EQ(1u, container.m_connections.size());
}

TEST_F(ActiveXContainerTest, MissingOrFailingOptionalInterfacesLeakNothing)
{
    for (int variant = 0; variant < 3; ++variant)
    {
        RegisterFakeControl();
        ControlConfig().classInfo = variant != 0;
        ControlConfig().connectionPoints = variant != 1;
        ControlConfig().failAdvise = variant == 2;
        {
            TestContainer container;
            container.CreateActiveX(kFakeControlClsid);
            EXPECT_TRUE(container.m_connections.empty());
            EXPECT_EQ(variant == 0 ? 0u : 3u, container.m_events.size());
        }
        EXPECT_EQ(0, LiveCounter<wxActiveXEvents>::Live());
        EXPECT_EQ(0, LiveCounter<FakeObject>::Live());
    }
}

TEST_F(ActiveXContainerTest, SynchronousEventWritesCancelBackBeforeFireReturns)
{
    TestContainer container;
    container.CreateActiveX(kFakeControlClsid);
    wxString seenUrl;
    container.handler.Bind(wxEventTypeTag<wxActiveXEvent>(kEvtTestNavigate), [&](wxActiveXEvent& event) {
        seenUrl = event["Url"].GetString(); // the parameter is named "URL"
        event["Cancel"] = true;
        event["NoSuchName"] = 5L; // reaches nobody, and stays empty for the next look-up
        EXPECT_TRUE(event["NoSuchName"].IsNull());
    });
    Variant url = Variant::String(L"http://example.invalid/");
    VariantBool cancel = VARIANT_FALSE;
    DispParams params;
    params.args.push_back(Variant::Ref(VT_BOOL, &cancel));
    params.args.push_back(Variant::Ref(VT_VARIANT, &url));
    LastControl()->Fire(kNavigate, params);
    EXPECT_EQ(VARIANT_TRUE, cancel);
    EXPECT_EQ("http://example.invalid/", seenUrl);
}

TEST_F(ActiveXContainerTest, ArgumentsAreReadByPositionWhateverTheCount)
{
    TestContainer container;
    container.CreateActiveX(kFakeControlClsid);
    std::vector<wxString> seen;
    container.handler.Bind(wxEventTypeTag<wxActiveXEvent>(kEvtTestProgress), [&](wxActiveXEvent& event) {
        seen.push_back(wxString::Format("%zu:%s/%s", event.ParamCount(), event["Progress"].MakeString(),
                                        event["ProgressMax"].MakeString()));
    });
    // One surplus argument passed (the control's extra, after the described two), then too few,
    // then a by-reference argument with no storage.
    DispParams extra, few, nullRef;
    extra.args = {Variant::Long(99), Variant::Long(100), Variant::Long(40)};
    few.args = {Variant::Long(7)};
    nullRef.args = {Variant::Long(5), Variant::Ref(VT_I4, nullptr)};
    LastControl()->Fire(kProgress, extra);
    LastControl()->Fire(kProgress, few);
    LastControl()->Fire(kProgress, nullRef);
    LastControl()->Fire(kUnregistered, few); // no handler registered the name: acknowledged, dropped
    LastControl()->Fire(1234, few);          // no such event
    EXPECT_TRUE(seen.empty()); // queued, not delivered inside the control's call
    container.ProcessQueued();
    EXPECT_EQ((std::vector<wxString>{"2:40/100", "1:7/", "2:/5"}), seen);
}

TEST_F(ActiveXContainerTest, SizesInHimetricAndObjectRects)
{
    EXPECT_EQ(2646, MulDivRound(2540, 100, 96));
    EXPECT_EQ(-2646, MulDivRound(2540, -100, 96));
    EXPECT_EQ(-1, MulDivRound(1, 2, 0));
    EXPECT_EQ(-1, MulDivRound(INT32_MAX, INT32_MAX, 1));

    TestContainer container;
    container.CreateActiveX(kFakeControlClsid);
    CallLog().clear();
    container.ResizeControl(0, 0);
    EXPECT_TRUE(CallLog().empty());
    container.ResizeControl(0, 5);
    EXPECT_EQ((Rect{0, 0, 0, 5}), LastControl()->lastRect);
    container.ResizeControl(100, 100);
    container.ResizeControl(100, 100); // same extent: not set again
    EXPECT_EQ(2u, CallsMatching("SetExtent").size());
}

TEST_F(ActiveXContainerTest, TeardownFreesEverythingAndDetachesTheSinkAndSite)
{
    ComPtr<IOleInPlaceSite> lateSite;
    {
        TestContainer container;
        container.CreateActiveX(kFakeControlClsid);
        EXPECT_EQ(1, LiveCounter<FrameSite>::Live());
        // What a misbehaving control could keep past the container.
        lateSite = container.m_clientSite.As<IOleInPlaceSite>();
        CallLog().clear();
    }
    EXPECT_EQ((std::vector<std::string>{"InPlaceDeactivate", "UIDeactivate", "Unadvise", "DoVerb(-3)", "Close",
                                        "SetClientSite(null)"}),
              CallLog());
    EXPECT_EQ(0, LiveCounter<FakeObject>::Live());
    EXPECT_EQ(0, LiveCounter<ConnectionPoint>::Live());
    EXPECT_EQ(0, LiveCounter<wxActiveXEvents>::Live());
    wxWindow* window = reinterpret_cast<wxWindow*>(1);
    EXPECT_EQ(E_UNEXPECTED, lateSite->GetWindow(&window));
    EXPECT_EQ(nullptr, window);
    lateSite.Reset();
    EXPECT_EQ(0, LiveCounter<FrameSite>::Live());
}

TEST_F(ActiveXContainerTest, SinkCalledAfterItsContainerDiedTouchesNothing)
{
    ComPtr<wxActiveXEvents> sink;
    {
        TestContainer container;
        container.CreateActiveX(kFakeControlClsid);
        sink = ComPtr<wxActiveXEvents>(new wxActiveXEvents(&container, kFakeEventsIid));
        sink->Detach(); // what teardown does to the sinks it made
    }
    DispParams none;
    EXPECT_EQ(S_OK, sink->Invoke(kNavigate, DISPATCH_METHOD, &none, nullptr));
    EXPECT_EQ(E_NOTIMPL, sink->Invoke(kNavigate, DISPATCH_PROPERTYGET, &none, nullptr));
    void* out = nullptr;
    EXPECT_EQ(S_OK, sink->QueryInterface(kFakeEventsIid, &out));
    static_cast<IDispatch*>(out)->Release();
}

} // namespace
