// The health strip and the status fields of the real window under Xvfb, with the simulated
// camera and the real write thread.
#include "app/health_strip.h"
#include "app/window_ids.h"
#include "recording/odometer_protocol.h"
#include "tools/support/pseudo_terminal.h"
#include "tests/app/frame_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/image.h>
#include <wx/statusbr.h>

namespace {

using namespace std::chrono_literals;

class health_strip_test : public ::testing::Test, public test_support::frame_fixture {
protected:
    void settings(const std::string& odometer) {
        write_settings("dpp_port=" + odometer + "\ndpp_format=ДПП4\ncoordinate_server_enabled=0\n");
    }
    std::wstring cell(int index) const { return frame->strip()->cells().at(index).value; }
    wxString field(int index) const { return frame->GetStatusBar()->GetStatusText(index); }
};

}  // namespace

TEST_F(health_strip_test, recording_with_a_missing_port_says_it_stopped_and_the_strip_shows_capture) {
    const std::string port = (home.path() / "ttyUSB-missing").string();
    settings(port);
    open();
    EXPECT_EQ(cell(health_model::cell_lamp), L"СТОП");
    // The previous run's texts must not survive into this one.
    frame->SetStatusText(L"ДПП[7]: 20379 Записано кадров: 850", 2);
    frame->ProcessWindowEvent(*std::make_unique<wxCommandEvent>(wxEVT_MENU, ID_CAPTURE_RECORD));
    ASSERT_TRUE(frame->state().active());
    EXPECT_NE(field(2), L"ДПП[7]: 20379 Записано кадров: 850");

    ASSERT_TRUE(pump_until([&] { return field(2).StartsWith(L"Запись остановлена"); })) << field(2);
    EXPECT_EQ(field(2), wxString::FromUTF8("Запись остановлена: не удалось открыть порт ДПП " + port));
    EXPECT_EQ(frame->state().mode(), capture_mode::capturing);
    EXPECT_EQ(cell(health_model::cell_lamp), L"ЗАХВАТ");
    EXPECT_TRUE(frame->command_enabled(ID_STOP));
    EXPECT_FALSE(frame->command_enabled(ID_SESSION_CODE));
    EXPECT_TRUE(has("red:Не удалось открыть последовательный порт: " + port + ": No such file or directory"));
    // Capture goes on: the camera's figures keep coming.
    ASSERT_TRUE(pump_until([&] { return !field(0).empty(); }));

    frame->stop();
    for (int f : {0, 1, 2}) EXPECT_EQ(field(f), L"") << f;
    EXPECT_EQ(cell(health_model::cell_lamp), L"СТОП");
}

// Records from a pseudo-terminal odometer with the window at 1366 x 768; with
// QUILLMAR_STRIP_SCREENSHOT set, the window is saved there as PNG.
TEST_F(health_strip_test, recording_fills_the_strip_at_1366_by_768) {
    pseudo_terminal odometer;
    settings(odometer.device_path());
    open();
    frame->SetSize(0, 0, 1366, 768);
    frame->Show();
    std::atomic<bool> run{true};
    std::thread sender([&] {
        for (std::uint32_t count = 1000; run; ++count) {
            const auto m = encode_odometer4(count);
            odometer.write(m.data(), m.size());
            std::this_thread::sleep_for(20ms);
        }
    });
    frame->ProcessWindowEvent(*std::make_unique<wxCommandEvent>(wxEVT_MENU, ID_CAPTURE_RECORD));
    const bool stored = pump_until([&] {
        return frame->state().mode() == capture_mode::recording && cell(health_model::cell_frames) != L"0" &&
               cell(health_model::cell_frames) != L"—";
    });
    // Let the rates settle over their 2 s window.
    pump_until([] { return false; }, 3s);
    frame->refresh_health();
    wxYield();
    run = false;
    sender.join();
    ASSERT_TRUE(stored);
    EXPECT_EQ(cell(health_model::cell_lamp), L"ЗАПИСЬ");
    EXPECT_NE(cell(health_model::cell_database), L"—");
    EXPECT_NE(cell(health_model::cell_disk), L"—");
    EXPECT_NE(cell(health_model::cell_queue), L"—") << "the queue is read while recording";
    EXPECT_TRUE(frame->state().health().camera_rate()) << "the camera's set rate was read";
    // The simulated camera runs at the rate it is set to: no amber.
    EXPECT_EQ(frame->strip()->cells().at(health_model::cell_camera).level, health_level::normal);
    const wxRect strip = frame->strip()->GetScreenRect();
    const wxRect client = frame->GetScreenRect();
    EXPECT_TRUE(client.Contains(strip)) << "the strip is inside the window";
    EXPECT_GE(strip.width, 1300);

    if (const char* out = std::getenv("QUILLMAR_STRIP_SCREENSHOT")) {
        frame->Update();
        wxClientDC dc(frame);
        const wxSize size = frame->GetClientSize();
        wxBitmap shot(size);
        wxMemoryDC memory(shot);
        memory.Blit(0, 0, size.x, size.y, &dc, 0, 0);
        memory.SelectObject(wxNullBitmap);
        wxImage::AddHandler(new wxPNGHandler);
        EXPECT_TRUE(shot.ConvertToImage().SaveFile(out, wxBITMAP_TYPE_PNG));
    }
    frame->stop();
}
