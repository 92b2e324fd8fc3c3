#include "app/quillmar_app.h"

#include "app/quillmar_frame.h"

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <langinfo.h>

#include <wx/msgdlg.h>
#include <wx/translation.h>

#include "log/log.h"

namespace {
void message_box(const wxString& text, const wxString& caption) {
    wxMessageBox(text, caption, wxOK | wxICON_ERROR, nullptr);
}

wxString exception_text(const std::exception& e) {
    wxString text(e.what(), wxConvLibc);
    if (text.empty() && e.what()[0] != '\0') text = wxString(e.what(), wxConvISO8859_1);
    return text;
}
}  // namespace

void ensure_utf8_locale() {
    const char* name = std::setlocale(LC_ALL, "");
    const bool plain = name == nullptr || std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0;
    if (plain && std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) {
        // The toolkit sets the locale from the environment again when it starts.
        ::setenv("LC_ALL", "C.UTF-8", 1);
        std::setlocale(LC_ALL, "C.UTF-8");
    }
}

void use_russian_messages() {
    // GTK's own texts (the buttons of message boxes and file dialogs) follow the message
    // language, whatever the rest of the locale says: the operator reads Russian.
    ::setenv("LANGUAGE", "ru", 1);
}

bool load_toolkit_translations() {
    auto* translations = new wxTranslations;
    translations->SetLanguage(wxLANGUAGE_RUSSIAN);
    const bool found = translations->AddStdCatalog();
    wxTranslations::Set(translations);  // the toolkit owns it from here
    return found;
}

void prefer_visible_scrollbars() {
    // GTK's overlay scrollbars appear only under a moving pointer: on a shaking train, or on
    // a touch screen, the list's sideways scrollbar was as good as absent. An operator's own
    // choice in the environment stays.
    ::setenv("GTK_OVERLAY_SCROLLING", "0", 0);
}

bool quillmar::OnInit() {
    if (instance_checker_.IsAnotherRunning()) {
        message_box(L"Программа уже запущена; второй экземпляр не запускается.", L"Ошибка");
        return false;
    }
    const bool translated = load_toolkit_translations();
    // The toolkit's fatal-exception handling stays off: a crash is left to the system.
    try {
        frame_ = new quillmar_frame();
        if (!translated)
            log_error(L"Не найден русский перевод wxWidgets (пакет wx3.2-i18n): кнопки диалогов будут на английском");
    } catch (const std::exception& e) {
        message_box(exception_text(e), L"Ошибка");
        return false;
    } catch (...) {
        message_box(L"Неизвестная ошибка. Программа будет закрыта.", L"Критическая ошибка");
        std::exit(1);
    }
    frame_->Show(true);
    return true;
}

bool quillmar::OnExceptionInMainLoop() {
    try {
        throw;
    } catch (const std::exception& e) {
        message_box(exception_text(e), L"Ошибка");
        return true;
    } catch (...) {
        message_box(L"Программа будет завершена.", L"Неизвестное исключение.");
        return false;
    }
}

void quillmar::OnUnhandledException() { wxMessageBox(L"Необработанное исключение", L"Ошибка", wxOK | wxCENTRE, nullptr); }
