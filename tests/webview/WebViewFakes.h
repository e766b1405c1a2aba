#pragma once
// Test doubles of the web view's unit tests: a control registered under a test class id, a
// container without a window, client sites and a browser that record what they are asked.

#include <memory>
#include <string>
#include <vector>

#include "platform/ComClassRegistry.h"
#include "platform/ComConnectionPoint.h"
#include "webview/ActiveXContainer.h"

namespace fakes
{

inline constexpr LumoCom::Guid kFakeControlClsid = LumoCom::Guid::Parse("0F0F0F0F-0000-4000-8000-00000000C0DE");
inline constexpr LumoCom::Guid kFakeEventsIid = LumoCom::Guid::Parse("0F0F0F0F-0000-4000-8000-00000000E7E7");

// Event ids of the fake's source interface: Navigate(URL*, [in,out] Cancel*), Progress(long, long)
// and one event no test registers.
enum : LumoCom::DispId
{
    kNavigate = 1,
    kProgress = 2,
    kUnregistered = 3,
};

struct FakeControlConfig
{
    uint32_t miscStatus = 0;
    bool classInfo = true;
    bool connectionPoints = true;
    bool failAdvise = false;
};

// Every call the fake control receives, in order, by method name.
std::vector<std::string>& CallLog();
FakeControlConfig& ControlConfig();

class FakeControl;
FakeControl* LastControl();
void FireOnLastControl(LumoCom::DispId dispid, LumoCom::DispParams& params);
LumoCom::Rect LastControlRect();
int LiveFakeControls();
// Registers the fake control under kFakeControlClsid, resets its config and the log.
void RegisterFakeControl();

class TestContainer final : public ActiveXContainer
{
public:
    explicit TestContainer(wxSize client = wxSize(200, 100)) : m_client(client) {}
    ~TestContainer() override { DestroyActiveX(); }

    wxWindow* HostWindow() override { return nullptr; }
    wxSize HostClientSize() const override { return m_client; }
    int HostWindowId() const override { return 77; }
    wxSize ScreenPpi() override { return wxSize(96, 96); }
    wxColour SystemColour(wxSystemColour which) const override
    {
        return which == wxSYS_COLOUR_WINDOW ? wxColour(0x11, 0x22, 0x33) : wxColour(1, 2, 3);
    }
    void ProcessNow(wxEvent& event) override { handler.ProcessEvent(event); }
    void Queue(wxEvent* event) override { m_queued.emplace_back(event); }
    // What the event loop would do with the queued events, in their order.
    void ProcessQueued()
    {
        for (auto& event : m_queued)
            handler.ProcessEvent(*event);
        m_queued.clear();
    }
    void ControlWindowKnown(wxWindow*) override { CallLog().push_back("container:ControlWindowKnown"); }

    wxEvtHandler handler;
    wxSize m_client;
    std::vector<std::unique_ptr<wxEvent>> m_queued;
};

} // namespace fakes
