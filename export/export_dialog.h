#pragma once
// The operator's export of one recorded database: a form for the count range and the outputs
// (frames into a folder, an MP4 video with its frame rate and the scale bar), then a progress
// dialog with a cancel button while an export_job works on its own thread. The GUI thread
// only polls the job's atomics; the job is joined before anything returns.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include <wx/dialog.h>

#include "export/export_job.h"

class wxCheckBox;
class wxDirPickerCtrl;
class wxFilePickerCtrl;
class wxSpinCtrlDouble;

class export_dialog : public wxDialog {
public:
    // first, last: the database's frame range, the form's initial range; scale: the `scale`
    // setting for the scale bar. The frames folder and the video file start filled in, under
    // proposed_export_folder().
    export_dialog(wxWindow* parent, const std::wstring& folder, std::uint32_t first, std::uint32_t last, double scale);

    // The request the form describes, or the reason it is not complete (Russian).
    std::optional<export_request> request(std::wstring& problem) const;

    // The form's controls, for tests.
    wxSpinCtrlDouble* from_count() const { return from_; }
    wxSpinCtrlDouble* to_count() const { return to_; }
    wxCheckBox* frames_check() const { return frames_check_; }
    wxDirPickerCtrl* frames_dir() const { return dir_; }
    wxCheckBox* video_check() const { return video_check_; }
    wxFilePickerCtrl* video_file() const { return file_; }
    wxSpinCtrlDouble* fps() const { return fps_; }
    wxCheckBox* scale_bar() const { return scale_bar_; }

private:
    void on_ok(wxCommandEvent& event);

    std::wstring folder_;
    double scale_;
    wxSpinCtrlDouble* from_;
    wxSpinCtrlDouble* to_;
    wxCheckBox* frames_check_;
    wxDirPickerCtrl* dir_;
    wxCheckBox* video_check_;
    wxFilePickerCtrl* file_;
    wxSpinCtrlDouble* fps_;
    wxCheckBox* scale_bar_;
};

class reader_pool;

// The folder the form proposes for both the frames folder and the video file: documents (the
// operator's Documents folder) when it is an existing folder, else the folder holding the
// recordings (database_folder's parent).
std::filesystem::path proposed_export_folder(const std::filesystem::path& database_folder,
                                             const std::filesystem::path& documents);

// Runs the request under a progress dialog ("Экспорт") whose cancel button cancels the job;
// returns when the job has ended and been joined.
export_outcome run_with_progress(wxWindow* parent, const export_request& request);

// The "Экспорт…" command on the database folder: reads its range, shows the form, runs the
// export and tells the operator how it went. A database that cannot be opened is reported.
// readers: the process's shared read handles (null: read handles of its own).
void export_database(wxWindow* parent, const std::wstring& folder, double scale, reader_pool* readers = nullptr);
