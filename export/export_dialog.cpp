#include "export/export_dialog.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/filename.h>
#include <wx/filepicker.h>
#include <wx/msgdlg.h>
#include <wx/progdlg.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>
#include <wx/stdpaths.h>
#include <wx/utils.h>

extern "C" {
#include <libavutil/log.h>
}

#include "base/locale_text.h"
#include "database/database_reader.h"
#include "database/reader_pool.h"

namespace {

std::filesystem::path narrow_path(const wxString& text) { return to_narrow(text.ToStdWstring()); }

wxString from_utf8(const std::string& text) { return wxString::FromUTF8(text.data(), text.size()); }

wxSpinCtrlDouble* count_spin(wxWindow* parent, std::uint32_t first, std::uint32_t last, std::uint32_t value) {
    auto* spin = new wxSpinCtrlDouble(parent, wxID_ANY, wxString(), wxDefaultPosition, wxSize(160, -1), wxSP_ARROW_KEYS,
                                      first, last, value, 1);
    spin->SetDigits(0);
    return spin;
}

}  // namespace

export_dialog::export_dialog(wxWindow* parent, const std::wstring& folder, std::uint32_t first, std::uint32_t last,
                             double scale)
    : wxDialog(parent, wxID_ANY, L"Экспорт базы"), folder_(folder), scale_(scale) {
    const wxFileName db(folder, wxString());
    const wxString name = db.GetDirCount() ? db.GetDirs().Last() : wxString(L"база");
    const wxString base = to_wide(
        proposed_export_folder(narrow_path(folder), narrow_path(wxStandardPaths::Get().GetDocumentsDir())).string());

    from_ = count_spin(this, first, last, first);
    to_ = count_spin(this, first, last, last);
    frames_check_ = new wxCheckBox(this, wxID_ANY, L"Кадры JPEG и index.csv в папку:");
    frames_check_->SetValue(true);
    dir_ = new wxDirPickerCtrl(this, wxID_ANY, base + L"/" + name, L"Папка для кадров", wxDefaultPosition,
                               wxSize(420, -1), wxDIRP_USE_TEXTCTRL);
    video_check_ = new wxCheckBox(this, wxID_ANY, L"Видео MP4 (H.264):");
    file_ = new wxFilePickerCtrl(this, wxID_ANY, base + L"/" + name + L".mp4", L"Файл видео",
                                 L"Видео MP4 (*.mp4)|*.mp4", wxDefaultPosition, wxSize(420, -1),
                                 wxFLP_SAVE | wxFLP_OVERWRITE_PROMPT | wxFLP_USE_TEXTCTRL);
    fps_ = new wxSpinCtrlDouble(this, wxID_ANY, wxString(), wxDefaultPosition, wxSize(120, -1), wxSP_ARROW_KEYS, 1, 100,
                                25, 1);
    fps_->SetDigits(1);
    scale_bar_ = new wxCheckBox(this, wxID_ANY, L"Масштабная линейка в кадре");

    auto* range = new wxFlexGridSizer(2, 5, 5);
    range->Add(new wxStaticText(this, wxID_ANY, L"С отсчёта ДПП:"), 0, wxALIGN_CENTER_VERTICAL);
    range->Add(from_);
    range->Add(new wxStaticText(this, wxID_ANY, L"По отсчёт ДПП:"), 0, wxALIGN_CENTER_VERTICAL);
    range->Add(to_);
    auto* rate = new wxBoxSizer(wxHORIZONTAL);
    rate->Add(new wxStaticText(this, wxID_ANY, L"Кадров в секунду:"), 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 5);
    rate->Add(fps_);
    auto* column = new wxBoxSizer(wxVERTICAL);
    column->Add(range, 0, wxALL, 5);
    column->Add(frames_check_, 0, wxALL, 5);
    column->Add(dir_, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 5);
    column->Add(video_check_, 0, wxALL, 5);
    column->Add(file_, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 5);
    column->Add(rate, 0, wxLEFT | wxRIGHT | wxBOTTOM, 5);
    column->Add(scale_bar_, 0, wxLEFT | wxRIGHT | wxBOTTOM, 5);
    auto* buttons = new wxStdDialogButtonSizer();
    buttons->AddButton(new wxButton(this, wxID_OK, L"Экспортировать"));
    buttons->AddButton(new wxButton(this, wxID_CANCEL, L"Отмена"));
    buttons->Realize();
    column->Add(buttons, 0, wxEXPAND | wxALL, 5);
    SetSizerAndFit(column);
    CentreOnParent();
    Bind(wxEVT_BUTTON, &export_dialog::on_ok, this, wxID_OK);
}

std::optional<export_request> export_dialog::request(std::wstring& problem) const {
    export_request r;
    r.database = to_narrow(folder_);
    r.range = {static_cast<std::uint32_t>(from_->GetValue()), static_cast<std::uint32_t>(to_->GetValue())};
    if (r.range.from > r.range.to) {
        problem = L"Начальный отсчёт больше конечного.";
        return std::nullopt;
    }
    if (frames_check_->GetValue()) {
        if (dir_->GetPath().IsEmpty()) {
            problem = L"Укажите папку для кадров.";
            return std::nullopt;
        }
        r.frames_dir = narrow_path(dir_->GetPath());
    }
    if (video_check_->GetValue()) {
        wxFileName file(file_->GetPath());
        if (!file.HasName()) {
            problem = L"Укажите файл видео.";
            return std::nullopt;
        }
        if (!file.HasExt()) file.SetExt(L"mp4");
        r.video_file = narrow_path(file.GetFullPath());
        r.video.fps = fps_->GetValue();
        r.video.scale_bar = scale_bar_->GetValue();
        r.video.scale = scale_;
    }
    if (!r.frames_dir && !r.video_file) {
        problem = L"Выберите кадры, видео или и то и другое.";
        return std::nullopt;
    }
    return r;
}

void export_dialog::on_ok(wxCommandEvent& event) {
    std::wstring problem;
    if (request(problem)) {
        event.Skip();  // the default handler ends the dialog with OK
        return;
    }
    wxMessageBox(problem, L"Экспорт", wxOK | wxICON_WARNING, this);
}

std::filesystem::path proposed_export_folder(const std::filesystem::path& database_folder,
                                             const std::filesystem::path& documents) {
    std::error_code ec;
    if (!documents.empty() && std::filesystem::is_directory(documents, ec)) return documents;
    std::filesystem::path folder = database_folder;
    // "/a/b/" names the folder b, as "/a/b" does.
    if (!folder.has_filename() && folder.has_parent_path()) folder = folder.parent_path();
    return folder.parent_path();
}

export_outcome run_with_progress(wxWindow* parent, const export_request& request) {
    wxProgressDialog progress(L"Экспорт", L"Экспорт…", 1000, parent,
                              wxPD_APP_MODAL | wxPD_CAN_ABORT | wxPD_ELAPSED_TIME | wxPD_REMAINING_TIME);
    export_job job(request);
    bool cancelling = false;
    while (!job.finished()) {
        const wxString text = cancelling ? wxString(L"Отмена…")
                                         : wxString::Format(L"Кадров обработано: %llu",
                                                            static_cast<unsigned long long>(job.frames_done()));
        // The maximum would close the dialog; it closes when the job has ended.
        if (!progress.Update(std::min(job.permille(), 999), text) && !cancelling) {
            job.cancel();
            cancelling = true;
        }
        wxMilliSleep(50);
    }
    return job.wait();
}

void export_database(wxWindow* parent, const std::wstring& folder, double scale, reader_pool* readers) {
    std::uint32_t first = 0, last = 0;
    try {
        // Only read; closed again (or let go to the shared handle) before the form opens.
        const std::unique_ptr<database_reader> reader =
            readers ? readers->open_reader(folder) : std::make_unique<database_reader>(folder);
        first = reader->dpp_start();
        last = reader->dpp_end();
    } catch (const std::exception& e) {
        wxMessageBox(L"Не удалось открыть базу: " + from_utf8(e.what()), L"Экспорт", wxOK | wxICON_ERROR, parent);
        return;
    }
    if (last < first) last = first;
    export_dialog form(parent, folder, first, last, scale);
    if (form.ShowModal() != wxID_OK) return;
    std::wstring problem;
    std::optional<export_request> request = form.request(problem);
    if (!request) return;
    request->readers = readers;
    av_log_set_level(AV_LOG_ERROR);  // the encoder's statistics are not for the operator
    const export_outcome outcome = run_with_progress(parent, *request);
    wxMessageBox(from_utf8(describe(*request, outcome)), L"Экспорт",
                 wxOK | (outcome.state == export_outcome::status::done ? wxICON_INFORMATION : wxICON_WARNING), parent);
}
