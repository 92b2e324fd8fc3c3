#pragma once
// viewer_dialog "Просмотр базы": browses one recorded database frame by frame.
//
// The dialog is resizable and opens at 0.7 x 0.7 of the display; the picture grows with it
// and a frame opens fitted (whole, centred). "0" fits again, "1" shows 1:1.
// The spin control (id ID_FRAME_SPIN) runs over the database's odometer range in steps of 5;
// a count without a frame shows the next stored frame and the spin keeps the value typed.
// Left / PageUp and Right / PageDown go to the previous / next stored frame, Shift+Left /
// Shift+Right ten frames, Home / End to the first / last; the spin control then shows that
// frame's count. Space or "Пуск" plays the frames forward at the chosen rate (5 to 50
// frames a second) until the last one or "Пауза". The line under the picture names the
// database and the frame (see frame_caption.h); the frame numbers are counted on a thread
// of their own and appear when known.
// "Сохранить кадр" (ID_SAVE_FRAME) writes the stored JPEG bytes of the frame on the screen
// to the file chosen in the save dialog (proposed: "<frame key>.jpg"; a name typed without
// an extension gets ".jpg") and stays on that frame; "Закрыть" ends the modal run with wxID_OK.
// The picture has the keyboard focus when the dialog opens and after a click on it, and the
// keys are taken at the dialog level (char hook), so they work whatever control is focused,
// except digits and Space while a count box is being typed into.
//
// Ownership: owns its frame_browser, which keeps the database open for reading (other
// readers are not kept out; given the pool, it shares the pool's handle) while the dialog exists, and the frame index's thread, joined
// before the browser goes.
// Errors: the constructor throws std::runtime_error with LevelDB's text when the database
// cannot be opened (no dialog is shown); a save that cannot write shows an error box.
// Thread safety: GUI thread only.
#include <cstdint>
#include <functional>
#include <vector>
#include <memory>

#include <wx/dialog.h>
#include <wx/timer.h>

#include "viewer/frame_browser.h"
#include "viewer/frame_caption.h"
#include "viewer/playback.h"

class VImagePanel;
class frame_index;
class wxButton;
class wxSpinCtrl;
class wxSpinCtrlDouble;
class wxSpinDoubleEvent;
class wxStaticText;

enum viewer_id : int {
    ID_FRAME_SPIN = 20,
    ID_SAVE_FRAME = 21,
};

class viewer_dialog : public wxDialog {
public:
    viewer_dialog(wxWindow* parent, const wxString& folder, reader_pool* readers = nullptr);
    ~viewer_dialog() override;

    VImagePanel* panel() const { return panel_; }
    wxSpinCtrlDouble* spin() const { return spin_; }
    frame_browser& browser() { return *browser_; }
    playback& player() { return player_; }
    wxString caption() const;
    // True once the frame numbers are known (tests wait for it).
    bool frames_counted() const;

    // Asks for the file to save to, given the proposed name; empty when cancelled. The
    // default shows the save-file dialog (modal); tests put their own answer here.
    std::function<wxString(const wxString& proposed)> choose_save_path;
    // Shows an error text; the default is a message box.
    std::function<void(const wxString& text)> show_error;

    // What the controls do (also callable directly).
    void spin_changed(double value);
    void save_frame();
    // Left, Right, PageUp, PageDown, Home, End; false for any other key.
    bool navigate(int key_code);
    // Every key the dialog handles (the above, Shift+Left/Right, "0", "1", Space); false
    // for others. Digits and Space are left to the spin controls while they have the focus.
    bool handle_key(int key_code, int modifiers);
    // Ten (or n) frames on or back; stops at the ends.
    void step(long frames);
    // Starts or pauses playback; what the timer does when it fires.
    void toggle_playback();
    void playback_tick();

private:
    void show_current();
    void follow_with_spin();
    void update_caption();
    void arm_timer();
    void on_char_hook(wxKeyEvent& event);

    std::unique_ptr<frame_browser> browser_;
    std::unique_ptr<frame_index> index_;  // after browser_: its thread reads browser_'s reader
    std::vector<std::uint32_t> counts_;   // the index's counts once it is ready; empty before
    frame_place place_;
    playback player_;
    wxTimer timer_;
    VImagePanel* panel_ = nullptr;
    wxSpinCtrlDouble* spin_ = nullptr;
    wxSpinCtrl* rate_ = nullptr;
    wxButton* play_ = nullptr;
    wxStaticText* caption_ = nullptr;
};
