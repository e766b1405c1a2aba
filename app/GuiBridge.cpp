#include "app/GuiBridge.h"

#include "app/APThread.h"
#include "app/LogToFrame.h"
#include "app/MainFrame.h"

#include <wx/button.h>
#include <wx/msgdlg.h>

#include <future>

namespace LumoPatch {

template <typename Call> void GuiBridge::OnGuiThread(Call call)
{
    if (wxThread::IsMain())
        call();
    else
        m_frame.CallAfter(std::move(call));
}

void GuiBridge::Log(int level, const std::wstring& text)
{
    PostLogLine(m_frame, level, text);
}

void GuiBridge::ClearLog()
{
    OnGuiThread([this] { m_frame.ClearLogView(); });
}

void GuiBridge::SetGauge(int range, int value)
{
    m_gaugeRange = range;
    m_gaugeValue = value;
    if (m_gaugeQueued.exchange(true))
        return;
    OnGuiThread([this] {
        m_gaugeQueued = false;
        m_frame.SetGauge(m_gaugeRange.load(), m_gaugeValue.load());
    });
}

void GuiBridge::EnableApply()
{
    OnGuiThread([this] { m_frame.ApplyButton()->Enable(); });
}

void GuiBridge::SetPathText(const std::wstring& path)
{
    {
        std::lock_guard<std::mutex> lock(m_pathLock);
        m_pathText = path;
    }
    OnGuiThread([this] {
        std::wstring text;
        {
            std::lock_guard<std::mutex> lock(m_pathLock);
            text = m_pathText;
        }
        m_frame.SetPathText(text);
    });
}

void GuiBridge::SetProgressDone(bool done)
{
    m_frame.SetProgressDone(done);
}

void GuiBridge::ShowMessage(const std::wstring& text, const std::wstring& caption)
{
    auto show = [this, text, caption] {
        wxMessageDialog box(&m_frame, text, caption, wxOK | wxICON_EXCLAMATION);
        m_frame.ShowBox(box);
    };
    if (wxThread::IsMain()) {
        show();
        return;
    }
    std::promise<void> answered;
    std::future<void> answer = answered.get_future();
    m_frame.CallAfter([&show, &answered] {
        show();
        answered.set_value();
    });
    answer.wait();
}

void GuiBridge::PatchInstalled()
{
    wxQueueEvent(&m_frame, new wxThreadEvent(wxEVT_THREAD, kEventPatchInstalled));
}

void GuiBridge::Finished()
{
    wxQueueEvent(&m_frame, new wxThreadEvent(wxEVT_THREAD, kEventWorkerFinished));
}

bool GuiBridge::KeepGoing()
{
    return KeepPatchingCallback();
}

int GuiBridge::StopSignal()
{
    return m_frame.CancelSignal();
}

}  // namespace LumoPatch
