#pragma once
// The application object: refuses a second running copy (per user), builds and shows the
// main window, and turns exceptions that escape everything else into message boxes.
#include <wx/app.h>
#include <wx/snglinst.h>

class quillmar_frame;

class quillmar : public wxApp {
public:
    bool OnInit() override;
    bool OnExceptionInMainLoop() override;
    void OnUnhandledException() override;

    quillmar_frame* frame() const { return frame_; }

private:
    wxSingleInstanceChecker instance_checker_;
    quillmar_frame* frame_ = nullptr;  // owned by the window tree
};

// When the environment gives no locale (C/POSIX), switch to C.UTF-8 so Cyrillic texts convert;
// called before the toolkit starts.
void ensure_utf8_locale();

// Scrollbars that are always drawn (not GTK's overlay ones); called before the toolkit starts.
void prefer_visible_scrollbars();

// GTK's own texts in Russian under any locale (sets LANGUAGE); called before the toolkit starts.
void use_russian_messages();

// Installs the toolkit's Russian catalog (stock button labels and the toolkit's own messages);
// false when the catalog is not installed (package wx3.2-i18n), the texts then stay English.
bool load_toolkit_translations();
