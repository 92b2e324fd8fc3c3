#pragma once
// viewer_dialog "Просмотр базы": browses one recorded database frame by frame.
//
// The spin control (id ID_FRAME_SPIN) runs over the database's odometer range in steps of 5;
// a count without a frame shows the next stored frame and the spin keeps the value typed.
// Left / PageUp and Right / PageDown go to the previous / next stored frame, Home / End to
// the first / last; the spin control then shows that frame's count. "Сохранить кадр"
// (ID_SAVE_FRAME) writes the current frame's stored JPEG bytes to a file named after its key
// and, once written, moves on to the next frame (the picture stays); "Закрыть" ends the modal
// run with wxID_OK.
//
// Ownership: owns its frame_browser, which keeps the database open (and locked against
// other opens in the process) while the dialog exists.
// Errors: the constructor throws std::runtime_error with LevelDB's text when the database
// cannot be opened (no dialog is shown); a save that cannot write shows an error box.
// Thread safety: GUI thread only.
#include <functional>
#include <memory>

#include <wx/dialog.h>

#include "viewer/frame_browser.h"

class VImagePanel;
class wxSpinCtrlDouble;
class wxSpinDoubleEvent;

enum viewer_id : int {
    ID_FRAME_SPIN = 20,
    ID_SAVE_FRAME = 21,
};

class viewer_dialog : public wxDialog {
public:
    viewer_dialog(wxWindow* parent, const wxString& folder);
    ~viewer_dialog() override;

    VImagePanel* panel() const { return panel_; }
    wxSpinCtrlDouble* spin() const { return spin_; }
    frame_browser& browser() { return *browser_; }

    // Asks for the file to save to, given the proposed name; empty when cancelled. The
    // default shows the save-file dialog; tests put their own answer here.
    std::function<wxString(const wxString& proposed)> choose_save_path;
    // Shows an error text; the default is a message box.
    std::function<void(const wxString& text)> show_error;

    // What the controls do (also callable directly).
    void spin_changed(double value);
    void save_frame();
    // Left, Right, PageUp, PageDown, Home, End; false for any other key.
    bool navigate(int key_code);

private:
    void show_current();
    void follow_with_spin();
    void on_char_hook(wxKeyEvent& event);

    std::unique_ptr<frame_browser> browser_;
    VImagePanel* panel_ = nullptr;
    wxSpinCtrlDouble* spin_ = nullptr;
};
