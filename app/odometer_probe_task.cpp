#include "app/odometer_probe_task.h"

#include "base/locale_text.h"
#include "base/thread_name.h"

#include <exception>
#include <utility>

#include <wx/msgdlg.h>

wxDEFINE_EVENT(EVT_ODOMETER_PROBED, wxThreadEvent);

wxThreadEvent* make_odometer_probed_event(odometer_test_result result) {
    auto* event = new wxThreadEvent(EVT_ODOMETER_PROBED, wxID_ANY);
    event->SetPayload(std::move(result));
    return event;
}

odometer_probe_task::odometer_probe_task(std::wstring configured_port, completion done)
    : odometer_probe_task(
          [port = std::move(configured_port)](const odometer_stop& stop) { return probe_odometer_ports(port, stop); },
          std::move(done)) {}

odometer_probe_task::odometer_probe_task(probe_function probe, completion done)
    : thread_([this, probe = std::move(probe), done = std::move(done)] { run(probe, done); }) {}

odometer_probe_task::~odometer_probe_task() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void odometer_probe_task::run(const probe_function& probe, const completion& done) {
    name_this_thread("qm-probe");
    const odometer_stop stop = [this] { return stop_.load(); };
    odometer_test_result result;
    try {
        result = probe(stop);
    } catch (const std::exception& e) {
        // The rows so far are lost with the exception; the operator still learns the test ended.
        result = odometer_test_result{};
        result.rows = {L"Тест ДПП:", L"Тест ДПП прерван: " + to_wide(e.what())};
    }
    if (!result.stopped && !stop_ && done) done(std::move(result));
    finished_ = true;
}

odometer_verdict_message odometer_verdict_text(const odometer_verdict& verdict, const std::wstring& configured_port,
                                               const std::wstring& configured_type) {
    odometer_verdict_message m;
    m.text = L"Порт " + configured_port + L": ";
    const std::wstring found = odometer_setting_of(verdict.kind);
    if (!found.empty())
        m.text += found + L" (сообщений " + std::to_wstring(verdict.messages) + L").";
    else
        m.text += verdict.row + L".";
    m.text += L"\nВ настройках: " + (configured_type.empty() ? std::wstring(L"не задан") : configured_type) + L".";
    if (!found.empty() && found != configured_type) {
        m.offer = true;
        m.setting = found;
        m.text += L"\nУстановить " + found + L"?";
    }
    return m;
}

bool show_odometer_verdict(wxWindow* parent, const odometer_verdict_message& message) {
    const long buttons = message.offer ? (wxYES_NO | wxYES_DEFAULT | wxICON_QUESTION) : (wxOK | wxICON_INFORMATION);
    wxMessageDialog dialog(parent, message.text, L"Тест ДПП", buttons);
    if (message.offer) dialog.SetYesNoLabels(L"Да", L"Нет");
    return dialog.ShowModal() == wxID_YES && message.offer;
}
