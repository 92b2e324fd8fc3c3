#pragma once
// The odometer test ("Тест ДПП") off the window's thread, and what the window then tells the
// operator about the configured port.
//
// odometer_probe_task runs the whole probe (up to a second per port that opens, a dozen ports
// or more) on the thread "qm-probe", started by the constructor. When the probe has gone
// through every port it calls `done` once, on that thread, with the log rows and the configured
// port's verdict; the window queues the result to itself (make_odometer_probed_event) and
// handles EVT_ODOMETER_PROBED on its own thread. A probe stopped early never calls `done`.
//
// Ownership: the task owns its thread; the destructor asks the probe to stop (it notices
// within about 50 ms, between ports and within a port's wait) and joins it. Whatever `done`
// uses must outlive the task.
// Thread safety: construct, query and destroy from one thread (the window's).
#include "recording/odometer_test.h"

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include <wx/event.h>

class wxWindow;

// The finished probe: GetPayload<odometer_test_result>().
wxDECLARE_EVENT(EVT_ODOMETER_PROBED, wxThreadEvent);

// A new heap event carrying `result`, for wxQueueEvent (which takes ownership). Any thread.
wxThreadEvent* make_odometer_probed_event(odometer_test_result result);

class odometer_probe_task {
public:
    using completion = std::function<void(odometer_test_result result)>;
    // The probe itself; it should give up soon once `stop` answers true.
    using probe_function = std::function<odometer_test_result(const odometer_stop& stop)>;

    // The program's probe: the configured port first (probe_odometer_ports).
    odometer_probe_task(std::wstring configured_port, completion done);
    // Any probe (tests).
    odometer_probe_task(probe_function probe, completion done);
    ~odometer_probe_task();
    odometer_probe_task(const odometer_probe_task&) = delete;
    odometer_probe_task& operator=(const odometer_probe_task&) = delete;

    // True once the probe has ended (and `done`, if called, has returned).
    bool finished() const { return finished_.load(); }

private:
    void run(const probe_function& probe, const completion& done);

    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::thread thread_;  // "qm-probe"; joined by the destructor
};

// What the window says about the configured port after the test, and whether it offers to
// change the "Формат ДПП" setting (only when a format was found and the setting differs).
struct odometer_verdict_message {
    std::wstring text;
    bool offer = false;
    std::wstring setting;  // offered: the value to write ("ДПП4" or "ДПП7")
};

// `configured_port`: the port as the operator knows it (the setting or its device path);
// `configured_type`: the current "Формат ДПП" setting.
odometer_verdict_message odometer_verdict_text(const odometer_verdict& verdict, const std::wstring& configured_port,
                                               const std::wstring& configured_type);

// Shows the message modally ("Тест ДПП"): Yes/No when a change is offered, OK otherwise.
// Returns true when the operator chose to set the offered format. Window thread only.
bool show_odometer_verdict(wxWindow* parent, const odometer_verdict_message& message);
