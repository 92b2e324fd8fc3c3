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
#include <wx/frame.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
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
    // The strip says it too, in words that fit, the whole text in the tip.
    EXPECT_EQ(cell(health_model::cell_lamp), L"ЗАХВАТ · запись остановлена");
    EXPECT_EQ(cell(health_model::cell_odometer), L"порт ДПП не открыт");
    EXPECT_EQ(frame->strip()->cells().at(health_model::cell_odometer).tip,
              L"Запись остановлена: не удалось открыть порт ДПП " + wxString::FromUTF8(port).ToStdWstring());
    for (const auto& l : frame->strip()->layout()) EXPECT_TRUE(l.fits) << l.lines.at(0);
    EXPECT_TRUE(frame->command_enabled(ID_STOP));
    EXPECT_FALSE(frame->command_enabled(ID_SESSION_CODE));
    EXPECT_TRUE(has("red:Не удалось открыть последовательный порт: " + port + ": нет такого файла или устройства"));
    // Capture goes on: the camera's figures keep coming.
    ASSERT_TRUE(pump_until([&] { return !field(0).empty(); }));

    frame->stop();
    for (int f : {0, 1, 2}) EXPECT_EQ(field(f), L"") << f;
    EXPECT_EQ(cell(health_model::cell_lamp), L"СТОП");
    EXPECT_EQ(cell(health_model::cell_odometer), L"—") << "the reason went with its run";
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
    for (const auto& l : frame->strip()->layout()) EXPECT_TRUE(l.fits) << l.lines.at(0);

    // The odometer's cable pulled: the odometer cell goes red, the lamp amber, and the texts
    // still fit.
    odometer.close_master();
    ASSERT_TRUE(pump_until([&] { return cell(health_model::cell_odometer) == L"ДПП потерян"; }));
    frame->refresh_health();
    EXPECT_EQ(frame->strip()->cells().at(health_model::cell_odometer).level, health_level::red);
    EXPECT_EQ(cell(health_model::cell_lamp), L"ЗАПИСЬ · нет ДПП");
    EXPECT_EQ(frame->strip()->cells().at(health_model::cell_lamp).level, health_level::amber);
    for (const auto& l : frame->strip()->layout()) EXPECT_TRUE(l.fits) << l.lines.at(0);

    if (const char* out = std::getenv("QUILLMAR_STRIP_SCREENSHOT")) {
        // The whole window as the operator sees it, menu bar included.
        pump_until([] { return false; }, 1s);
        frame->Update();
        wxScreenDC dc;
        const wxRect at = frame->GetScreenRect();
        wxBitmap shot(at.GetSize());
        wxMemoryDC memory(shot);
        memory.Blit(0, 0, at.width, at.height, &dc, at.x, at.y);
        memory.SelectObject(wxNullBitmap);
        wxImage::AddHandler(new wxPNGHandler);
        EXPECT_TRUE(shot.ConvertToImage().SaveFile(out, wxBITMAP_TYPE_PNG));
    }
    frame->stop();
}

namespace {

// The longest value each cell can show, with its caption; several per cell where its texts
// differ in kind. Free texts (session codes, folder names) at their usual longest.
const std::vector<std::vector<health_cell>> longest = {
    {{L"", L"ЗАПИСЬ · нет ДПП"},
     {L"", L"ЗАПИСЬ · нет кадров"},
     {L"", L"ЗАХВАТ · запись остановлена"},
     {L"", L"СОХРАНЕНИЕ"},
     {L"", L"ЗАПИСЬ"}},
    {{L"Время", L"999:59:59"}},
    {{L"Сеанс", L"1234 : 5678"}, {L"Сеанс", L"Поезд : 12"}},
    {{L"База", L"2024.05.01 12.30.45_2"}},
    {{L"Записано", L"12345678"}},
    {{L"ДПП/с · без кадра", L"999,9 · 1234567"},
     {L"ДПП/с · без кадра", L"нет сообщений"},
     {L"ДПП/с · без кадра", L"ДПП потерян"},
     {L"Причина остановки", L"порт ДПП не открыт"},
     {L"Причина остановки", L"сервер координат"},
     {L"Причина остановки", L"ошибка записи"},
     {L"Причина остановки", L"диск заполнен"}},
    {{L"Камера, к/с", L"100,0 из 120,0"}, {L"Камера, к/с", L"нет кадров"}},
    {{L"Потеряно", L"1234567"}},
    {{L"Очередь · макс · потеряно", L"9999 к 99,9 с · 9999 · 1234567"}, {L"Очередь", L"осталось 9999"}},
    {{L"Диск · осталось", L"3725,3 ГБ · 9 ч 59 мин"}, {L"Диск · осталось", L"3725,3 ГБ · 999 ч"}},
};

struct bare_strip : ::testing::Test {
    bare_strip() {
        frame = new wxFrame(nullptr, wxID_ANY, L"strip");
        strip = new health_strip(frame);
        frame->SetClientSize(1366, health_strip::strip_height);
        strip->SetSize(0, 0, 1366, health_strip::strip_height);
    }
    ~bare_strip() override { test_support::destroy_frame(frame); }
    wxFrame* frame = nullptr;
    health_strip* strip = nullptr;
};

}  // namespace

TEST_F(bare_strip, every_caption_and_value_fits_its_cell_at_1366_pixels) {
    ASSERT_EQ(longest.size(), static_cast<std::size_t>(health_model::cell_count));
    std::size_t rows = 0;
    for (const auto& variants : longest) rows = std::max(rows, variants.size());
    wxClientDC dc(strip);
    for (std::size_t row = 0; row < rows; ++row) {
        std::vector<health_cell> cells;
        for (const auto& variants : longest) cells.push_back(variants[std::min(row, variants.size() - 1)]);
        const auto layout = health_strip::layout(cells, wxSize(1366, health_strip::strip_height), dc, strip->GetFont());
        ASSERT_EQ(layout.size(), cells.size());
        for (std::size_t i = 0; i < cells.size(); ++i) {
            const auto& l = layout[i];
            std::wstring drawn;
            for (const auto& line : l.lines) drawn += line.ToStdWstring() + L"|";
            EXPECT_TRUE(l.fits) << i << ": " << testing::PrintToString(cells[i].value) << " in " << l.inner.width
                                << " px drawn as " << testing::PrintToString(drawn);
            if (i > 0) {
                EXPECT_GT(l.box.GetLeft(), layout[i - 1].box.GetRight()) << "cells do not overlap";
            }
        }
        EXPECT_LE(layout.back().box.GetRight(), 1366);
    }
    // The lamp's two parts go on two lines rather than shrink to nothing.
    std::vector<health_cell> cells(health_model::cell_count);
    cells[health_model::cell_lamp] = {L"", L"ЗАХВАТ · запись остановлена"};
    const auto lamp = health_strip::layout(cells, wxSize(1366, health_strip::strip_height), dc, strip->GetFont());
    EXPECT_EQ(lamp.at(health_model::cell_lamp).lines, (std::vector<wxString>{L"ЗАХВАТ", L"запись остановлена"}));
}

TEST_F(bare_strip, the_cell_under_the_mouse_shows_its_tip_and_follows_its_changes) {
    std::vector<health_cell> cells(health_model::cell_count);
    cells[health_model::cell_lamp] = {L"", L"ЗАХВАТ · запись остановлена", health_level::amber,
                                      L"Запись остановлена: не удалось открыть порт ДПП /dev/ttyUSB0"};
    cells[health_model::cell_frames] = {L"Записано", L"12"};
    strip->show(cells);
    const auto layout = strip->layout();
    const auto centre = [&](int cell) {
        const wxRect& box = layout.at(cell).box;
        return wxPoint(box.x + box.width / 2, box.y + box.height / 2);
    };
    const auto move_to = [&](wxPoint point) {
        wxMouseEvent motion(wxEVT_MOTION);
        motion.SetPosition(point);
        motion.SetEventObject(strip);
        strip->ProcessWindowEvent(motion);
    };
    move_to(centre(health_model::cell_lamp));
    EXPECT_EQ(strip->GetToolTipText(), L"Запись остановлена: не удалось открыть порт ДПП /dev/ttyUSB0");
    move_to(centre(health_model::cell_frames));
    EXPECT_EQ(strip->GetToolTipText(), L"Записано: 12");
    // The value changes under a still mouse: the tip follows.
    cells[health_model::cell_frames].value = L"13";
    strip->show(cells);
    EXPECT_EQ(strip->GetToolTipText(), L"Записано: 13");
    EXPECT_EQ(strip->tip_at(centre(health_model::cell_lamp)), cells[health_model::cell_lamp].tip);
    EXPECT_EQ(strip->tip_at(wxPoint(1500, 10)), L"");
}
