#include "viewer/differences_dialog.h"

#include "base/thread_name.h"

#include <cmath>
#include <cstring>

#include <opencv2/imgproc.hpp>
#include <wx/bitmap.h>
#include <wx/button.h>
#include <wx/filedlg.h>
#include <wx/gauge.h>
#include <wx/image.h>
#include <wx/imaglist.h>
#include <wx/listctrl.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include "database/database_reader.h"
#include "database/reader_pool.h"

namespace {

std::unique_ptr<database_reader> open_reader(const std::wstring& path, reader_pool* readers) {
    return readers ? readers->open_reader(path) : std::make_unique<database_reader>(path);
}

wxBitmap to_bitmap(const cv::Mat& bgr, wxSize size) {
    cv::Mat rgb;
    cv::Mat fitted(size.y, size.x, CV_8UC3, cv::Scalar::all(255));
    if (!bgr.empty()) {
        const double scale = std::min(static_cast<double>(size.x) / bgr.cols, static_cast<double>(size.y) / bgr.rows);
        cv::Mat resized;
        cv::resize(
            bgr, resized,
            cv::Size(std::max(1, static_cast<int>(bgr.cols * scale)), std::max(1, static_cast<int>(bgr.rows * scale))),
            0, 0, cv::INTER_AREA);
        resized.copyTo(fitted(cv::Rect(0, 0, resized.cols, resized.rows)));
    }
    cv::cvtColor(fitted, rgb, cv::COLOR_BGR2RGB);
    wxImage image(size.x, size.y);
    std::memcpy(image.GetData(), rgb.data, static_cast<std::size_t>(size.x) * size.y * 3);
    return wxBitmap(image);
}

}  // namespace

differences_dialog::differences_dialog(wxWindow* parent, const std::wstring& first, const std::wstring& second,
                                       std::int64_t offset_hint, reader_pool* readers,
                                       std::function<void(const run_difference&)> show)
    : wxDialog(parent, wxID_ANY, L"Различия по проезду", wxDefaultPosition, wxSize(620, 560),
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER),
      paths_{first, second},
      readers_(readers),
      offset_hint_(offset_hint),
      show_(std::move(show)) {
    list_ = new wxListCtrl(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxLC_REPORT | wxLC_SINGLE_SEL);
    list_->AppendColumn(L"Кадры", wxLIST_FORMAT_LEFT, 300);
    list_->AppendColumn(L"ДПП 1", wxLIST_FORMAT_RIGHT, 80);
    list_->AppendColumn(L"ДПП 2", wxLIST_FORMAT_RIGHT, 80);
    list_->AppendColumn(L"Площадь, пикс.", wxLIST_FORMAT_RIGHT, 110);
    gauge_ = new wxGauge(this, wxID_ANY, 1000);
    status_ = new wxStaticText(this, wxID_ANY, L"Сравнение…");
    stop_ = new wxButton(this, wxID_ANY, L"Остановить");
    export_ = new wxButton(this, wxID_ANY, L"Экспорт CSV…");
    export_->Disable();
    auto* close = new wxButton(this, wxID_CLOSE, L"Закрыть");

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->Add(stop_, 0, wxALL, 5);
    buttons->Add(export_, 0, wxALL, 5);
    buttons->AddStretchSpacer();
    buttons->Add(close, 0, wxALL, 5);
    auto* column = new wxBoxSizer(wxVERTICAL);
    column->Add(list_, 1, wxEXPAND | wxALL, 5);
    column->Add(gauge_, 0, wxEXPAND | wxLEFT | wxRIGHT, 5);
    column->Add(status_, 0, wxEXPAND | wxALL, 5);
    column->Add(new wxStaticText(this, wxID_ANY, L"N — следующее различие, P — предыдущее"), 0, wxLEFT | wxRIGHT, 5);
    column->Add(buttons, 0, wxEXPAND);
    SetSizer(column);

    list_->Bind(wxEVT_LIST_ITEM_SELECTED, [this](wxListEvent& e) {
        const int index = static_cast<int>(e.GetIndex());
        if (index == selected_) return;
        selected_ = index;
        if (show_ && index >= 0 && index < static_cast<int>(differences_.size())) show_(differences_[index]);
    });
    stop_->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { cancel(); });
    export_->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { choose_export_file(); });
    close->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Hide(); });
    Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) { Hide(); });
    Bind(wxEVT_THREAD, &differences_dialog::on_worker, this);
    Bind(wxEVT_CHAR_HOOK, [this](wxKeyEvent& e) {
        if (!handle_key(e.GetKeyCode(), e.GetModifiers())) e.Skip();
    });

    start([this, hint = offset_hint_] {
        differences_outcome outcome;
        try {
            const auto a = open_reader(paths_[0], readers_);
            const auto b = open_reader(paths_[1], readers_);
            differences_control control;
            control.cancel = &cancel_;
            control.offset_hint = hint;
            control.found = [this](const run_difference& d) {
                const std::lock_guard<std::mutex> hold(inbox_lock_);
                inbox_.found.push_back(d);
            };
            // Wakes the window at most once at a time; it takes whatever gathered meanwhile.
            control.progress = [this](double done, std::size_t pairs) {
                const std::lock_guard<std::mutex> hold(inbox_lock_);
                inbox_.done = done;
                inbox_.pairs = pairs;
                if (!inbox_.event_queued) {
                    inbox_.event_queued = true;
                    wxQueueEvent(this, new wxThreadEvent());
                }
            };
            outcome = find_run_differences(*a, *b, control);
        } catch (const std::exception& e) {
            outcome.state = differences_outcome::status::failed;
            outcome.error = e.what();
        }
        const std::lock_guard<std::mutex> hold(inbox_lock_);
        inbox_.finished = std::move(outcome);
        inbox_.event_queued = true;
        wxQueueEvent(this, new wxThreadEvent());
    });
}

differences_dialog::~differences_dialog() {
    cancel_ = true;
    if (worker_.joinable()) worker_.join();
}

void differences_dialog::start(std::function<void()> job) {
    // The previous job has said it ended, so this join does not wait.
    if (worker_.joinable()) worker_.join();
    worker_busy_ = true;
    worker_ = std::thread([job = std::move(job)] {
        name_this_thread("qm-differences");
        job();
    });
}

void differences_dialog::on_worker(wxThreadEvent&) {
    inbox taken;
    {
        const std::lock_guard<std::mutex> hold(inbox_lock_);
        taken = std::move(inbox_);
        inbox_ = inbox{};
    }
    for (const run_difference& d : taken.found) add_row(d);
    if (!walked_ && !taken.finished) {
        gauge_->SetValue(static_cast<int>(std::lround(taken.done * 1000)));
        status_->SetLabelText(L"Сравнение… пар кадров: " + std::to_wstring(taken.pairs) + L", различий: " +
                              std::to_wstring(differences_.size()));
    }
    if (taken.finished) finish_walk(*taken.finished);
    if (taken.exported) {
        worker_busy_ = false;
        export_->Enable(!differences_.empty());
        status_->SetLabelText(taken.exported->empty()
                                  ? L"Сохранено: " + export_file_.wstring()
                                  : L"Не удалось сохранить: " + wxString::FromUTF8(*taken.exported));
    }
}

void differences_dialog::add_row(const run_difference& d) {
    if (!images_ && !d.thumbnail.empty()) {
        images_ = new wxImageList(d.thumbnail.cols, d.thumbnail.rows, false);
        list_->AssignImageList(images_, wxIMAGE_LIST_SMALL);
    }
    const int image = images_ ? images_->Add(to_bitmap(d.thumbnail, images_->GetSize())) : -1;
    const long row = list_->InsertItem(list_->GetItemCount(), wxString(), image);
    list_->SetItem(row, 1, std::to_wstring(d.count_a));
    list_->SetItem(row, 2, std::to_wstring(d.count_b));
    list_->SetItem(row, 3, std::to_wstring(d.changed_px));
    differences_.push_back(d);
}

void differences_dialog::finish_walk(const differences_outcome& o) {
    walked_ = true;
    worker_busy_ = false;
    stop_->Disable();
    gauge_->SetValue(o.state == differences_outcome::status::done ? 1000 : gauge_->GetValue());
    std::wstring text;
    switch (o.state) {
    case differences_outcome::status::done:
        text =
            L"Готово. Различий: " + std::to_wstring(differences_.size()) + L", пар кадров: " + std::to_wstring(o.pairs);
        if (o.unmatched) text += L", без пары: " + std::to_wstring(o.unmatched);
        break;
    case differences_outcome::status::cancelled:
        text = L"Остановлено. Различий: " + std::to_wstring(differences_.size());
        break;
    case differences_outcome::status::not_matching:
        text = L"Проезды не совпадают (сходство " + wxString::FromUTF8(match_text(o.best_match, ',')).ToStdWstring() +
               L")";
        break;
    case differences_outcome::status::failed:
        text = L"Не удалось сравнить: " + wxString::FromUTF8(o.error).ToStdWstring();
        break;
    }
    status_->SetLabelText(text);
    export_->Enable(!differences_.empty());
}

wxString differences_dialog::status() const { return status_->GetLabelText(); }

bool differences_dialog::select(int index) {
    if (index < 0 || index >= static_cast<int>(differences_.size())) return false;
    if (selected_ >= 0 && selected_ != index) list_->SetItemState(selected_, 0, wxLIST_STATE_SELECTED);
    // Selecting through the list fires its event, which shows the pair.
    list_->SetItemState(index, wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED,
                        wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED);
    list_->EnsureVisible(index);
    if (selected_ != index) {  // no event (some ports): show it here
        selected_ = index;
        if (show_) show_(differences_[static_cast<std::size_t>(index)]);
    }
    return true;
}

bool differences_dialog::next() { return select(selected_ + 1); }
bool differences_dialog::previous() { return selected_ > 0 && select(selected_ - 1); }

void differences_dialog::cancel() { cancel_ = true; }

bool differences_dialog::handle_key(int key_code, int modifiers) {
    if (modifiers != wxMOD_NONE) return false;
    if (key_code == 'N') return next() || true;
    if (key_code == 'P') return previous() || true;
    return false;
}

bool differences_dialog::export_csv(const std::filesystem::path& csv_file) {
    if (worker_busy_ || !walked_) return false;
    export_file_ = csv_file;
    export_->Disable();
    status_->SetLabelText(L"Сохранение…");
    start([this, file = csv_file, list = differences_] {
        std::string why;
        try {
            const auto a = open_reader(paths_[0], readers_);
            const auto b = open_reader(paths_[1], readers_);
            write_differences(file, list, *a, *b);
        } catch (const std::exception& e) {
            why = e.what();
            if (why.empty()) why = "?";
        }
        const std::lock_guard<std::mutex> hold(inbox_lock_);
        inbox_.exported = why;
        inbox_.event_queued = true;
        wxQueueEvent(this, new wxThreadEvent());
    });
    return true;
}

void differences_dialog::choose_export_file() {
    wxFileDialog choose(this, L"Экспорт CSV", wxString(), L"differences.csv", L"CSV (*.csv)|*.csv",
                        wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
    if (choose.ShowModal() != wxID_OK) return;
    export_csv(std::filesystem::path(choose.GetPath().ToStdWstring()));
}
