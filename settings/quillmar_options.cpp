#include "settings/quillmar_options.h"

#include "settings/settings_check.h"
#include "settings/settings_keys.h"

#include <wx/button.h>
#include <wx/combo.h>
#include <wx/msgdlg.h>
#include <wx/textctrl.h>
#include <wx/display.h>
#include <wx/propgrid/advprops.h>
#include <wx/propgrid/propgrid.h>
#include <wx/propgrid/props.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

namespace {

enum class kind { choice, boolean, floating, integer, text, directory, file, secret };

struct property_row {
    const wchar_t* category;  // nullptr: stays in the category above
    const wchar_t* label;
    const wchar_t* key;
    kind editor;
    std::initializer_list<const wchar_t*> choices;
};

// The dialog's rows, top to bottom; "ОК" writes them in this order too.
const property_row rows[] = {
    {L"Вагон", L"Борт", settings_keys::side, kind::choice, {L"левый", L"правый"}},
    {L"Камера", L"Предпочтительный драйвер", settings_keys::driver, kind::choice, {L"FilterDriver", L"SocketDriver"}},
    {L"Изображение", L"Разворачивать на 180", settings_keys::rotate180, kind::boolean, {}},
    {nullptr, L"Показывать линейку", settings_keys::show_scale, kind::boolean, {}},
    {nullptr, L"Масштаб линейки", settings_keys::scale, kind::floating, {}},
    {L"Запись", L"Каталог", settings_keys::write_path, kind::directory, {}},
    {nullptr, L"Очередь записи, МБ", settings_keys::record_queue_mb, kind::integer, {}},
    {L"ДПП", L"Порт ДПП", settings_keys::dpp_port, kind::text, {}},
    {nullptr, L"Формат ДПП", settings_keys::dpp_format, kind::choice, {L"ДПП4", L"ДПП7"}},
    {L"Сервер координат", L"Запрашивать сервер координат", settings_keys::coordinate_server_enabled, kind::boolean, {}},
    {nullptr, L"Адрес", settings_keys::coordinate_server_address, kind::text, {}},
    {nullptr, L"Порт", settings_keys::coordinate_server_port, kind::text, {}},
    {nullptr, L"Период опроса (секунды)", settings_keys::coordinate_server_query_period, kind::integer, {}},
    {L"Служба доступа к данным", L"Порт", settings_keys::data_service_port, kind::text, {}},
    {L"Удаленное управление (требуется перезапуск)",
     L"Разрешить удаленное управление",
     settings_keys::rc_service_enabled,
     kind::boolean,
     {}},
    {nullptr, L"Порт", settings_keys::rc_service_port, kind::text, {}},
    {L"Веб-страницы", L"Порт", settings_keys::web_service_port, kind::text, {}},
    {nullptr, L"Адрес (пусто - как у служб)", settings_keys::web_service_address, kind::text, {}},
    {nullptr, L"Ключ управления (пусто - только просмотр)", settings_keys::web_control_token, kind::secret, {}},
    {L"Депо", L"Выгружать записи в депо", settings_keys::depot_enabled, kind::boolean, {}},
    {nullptr, L"Адрес хранилища (URL)", settings_keys::depot_endpoint, kind::text, {}},
    {nullptr, L"Корзина", settings_keys::depot_bucket, kind::text, {}},
    {nullptr, L"Префикс", settings_keys::depot_prefix, kind::text, {}},
    {nullptr, L"Регион", settings_keys::depot_region, kind::text, {}},
    {nullptr, L"Ключ доступа", settings_keys::depot_access_key, kind::text, {}},
    {nullptr, L"Файл секретного ключа (права 0600)", settings_keys::depot_secret_file, kind::file, {}},
    {nullptr, L"Файл сертификатов ЦС (https)", settings_keys::depot_ca_file, kind::file, {}},
    {nullptr, L"Ограничение скорости, КБ/с (0 - нет)", settings_keys::depot_max_kbps, kind::integer, {}},
    {nullptr, L"Удалять на вагоне после проверки в депо", settings_keys::depot_delete_when_safe, kind::boolean, {}},
};

wxString default_text(const wxString& key) {
    namespace d = settings_defaults;
    namespace k = settings_keys;
    if (key == k::side) return d::side;
    if (key == k::driver) return d::driver;
    if (key == k::write_path) return d::write_path();
    if (key == k::dpp_port) return d::dpp_port;
    if (key == k::dpp_format) return d::dpp_format;
    if (key == k::coordinate_server_address) return d::coordinate_server_address;
    if (key == k::coordinate_server_port) return d::coordinate_server_port;
    if (key == k::data_service_port) return d::data_service_port;
    if (key == k::rc_service_port) return d::rc_service_port;
    if (key == k::web_service_port) return d::web_service_port;
    if (key == k::depot_endpoint) return d::depot_endpoint;
    if (key == k::depot_bucket) return d::depot_bucket;
    if (key == k::depot_prefix) return d::depot_prefix;
    if (key == k::depot_region) return d::depot_region;
    if (key == k::depot_access_key) return d::depot_access_key;
    if (key == k::depot_secret_file) return d::depot_secret_file;
    if (key == k::depot_ca_file) return d::depot_ca_file;
    return wxString();
}

long default_long(const wxString& key) {
    if (key == settings_keys::record_queue_mb) return settings_defaults::record_queue_mb;
    if (key == settings_keys::depot_max_kbps) return settings_defaults::depot_max_kbps;
    return settings_defaults::coordinate_server_query_period;
}

bool default_bool(const wxString& key) {
    namespace d = settings_defaults;
    namespace k = settings_keys;
    if (key == k::rotate180) return d::rotate180;
    if (key == k::show_scale) return d::show_scale;
    if (key == k::coordinate_server_enabled) return d::coordinate_server_enabled;
    if (key == k::depot_enabled) return d::depot_enabled;
    if (key == k::depot_delete_when_safe) return d::depot_delete_when_safe;
    return d::rc_service_enabled;
}

// The field as a message names it: "Порт" is qualified by its category, being there thrice.
std::wstring field_label(const property_row& row) {
    const wchar_t* category = nullptr;
    for (const auto& r : rows) {
        if (r.category) category = r.category;
        if (&r == &row) break;
    }
    if (std::wstring(row.label) == L"Порт" && category) return std::wstring(category) + L": " + row.label;
    return row.label;
}

wxPGProperty* make_property(const property_row& row, const settings_store& store) {
    const wxString key = row.key;
    switch (row.editor) {
    case kind::choice: {
        wxArrayString labels;
        for (const wchar_t* c : row.choices) labels.Add(c);
        auto* p = new wxEnumProperty(row.label, key, labels);
        const int index = labels.Index(store.read_text(key, default_text(key)), true);
        if (index == wxNOT_FOUND)
            p->SetValueToUnspecified();
        else
            p->SetChoiceSelection(index);
        return p;
    }
    case kind::boolean: return new wxBoolProperty(row.label, key, store.read_bool(key, default_bool(key)));
    case kind::floating:
        // Kept as typed: the grid's own number property read a decimal comma as a thousands
        // separator ("0,5" became 5, every ruler measurement ten times wrong). The text is
        // checked on "ОК" and read with the comma as a decimal point; shown as the operator
        // writes it.
        return new wxStringProperty(row.label, key, decimal_text(store.read_double(key, settings_defaults::scale)));
    case kind::integer: return new wxIntProperty(row.label, key, store.read_long(key, default_long(key)));
    case kind::directory: return new wxDirProperty(row.label, key, store.read_text(key, default_text(key)));
    case kind::file: return new wxFileProperty(row.label, key, store.read_text(key, default_text(key)));
    case kind::secret:  // masked once in the grid (the toolkit asserts before)
    case kind::text: break;
    }
    return new wxStringProperty(row.label, key, store.read_text(key, default_text(key)));
}

// The grid's own error box, shown from inside its handlers, could crash it when closed
// (wxGTK 3.2), and its marked cell hid the typed text: its errors go to the dialog's message
// line instead.
class options_grid : public wxPropertyGrid {
public:
    options_grid(wxWindow* parent, std::function<void(wxPGProperty*)> show, std::function<void()> hide)
        : wxPropertyGrid(parent, wxID_ANY), show_(std::move(show)), hide_(std::move(hide)) {}

    void DoShowPropertyError(wxPGProperty* property, const wxString&) override { show_(property); }
    void DoHidePropertyError(wxPGProperty*) override { hide_(); }
    bool DoOnValidationFailure(wxPGProperty* property, wxVariant& value) override {
        const bool may_leave = wxPropertyGrid::DoOnValidationFailure(property, value);
        show_(property);
        return may_leave;
    }
    void DoOnValidationFailureReset(wxPGProperty* property) override {
        wxPropertyGrid::DoOnValidationFailureReset(property);
        hide_();
    }

private:
    std::function<void(wxPGProperty*)> show_;
    std::function<void()> hide_;
};

}  // namespace

wxBEGIN_EVENT_TABLE(quillmar_options, wxDialog) EVT_BUTTON(wxID_OK, quillmar_options::on_ok)
    EVT_BUTTON(wxID_CANCEL, quillmar_options::on_cancel) wxEND_EVENT_TABLE()

        quillmar_options::quillmar_options(wxWindow* parent, settings_ptr settings)
    : wxDialog(parent, wxID_ANY, L"Настройка программы", wxDefaultPosition,
               wxSize(static_cast<int>(wxGetDisplaySize().x * 0.7f), static_cast<int>(wxGetDisplaySize().y * 0.7f)),
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER),
      settings_(std::move(settings)) {
    wxPropertyGrid::SetBoolChoices(L"Да", L"Нет");
    grid_ = new options_grid(
        this, [this](wxPGProperty* p) { show_message(refused_text_of(p, true)); },
        [this] { show_message(wxString()); });
    grid_->SetValidationFailureBehavior(wxPG_VFB_BEEP | wxPG_VFB_STAY_IN_PROPERTY | wxPG_VFB_SHOW_MESSAGE);
    message_ = new wxStaticText(this, wxID_ANY, wxString());
    message_->SetForegroundColour(*wxRED);
    // Written as the toolkit's Russian stock button reads ("ОК", Cyrillic), beside "Отмена".
    auto* ok = new wxButton(this, wxID_OK, L"ОК", wxDefaultPosition, wxDefaultSize, wxBORDER_NONE);
    auto* cancel = new wxButton(this, wxID_CANCEL, L"Отмена", wxDefaultPosition, wxDefaultSize, wxBORDER_NONE);

    auto* column = new wxBoxSizer(wxVERTICAL);
    column->Add(grid_, 1, wxEXPAND | wxALL, 10);
    column->Add(message_, 0, wxEXPAND | wxLEFT | wxRIGHT, 10);
    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->Add(ok, 0, wxALL, 10);
    buttons->Add(cancel, 0, wxALL, 10);
    column->Add(buttons, 0, wxALIGN_RIGHT);

    for (const auto& row : rows) {
        if (row.category) grid_->Append(new wxPropertyCategory(row.category));
        wxPGProperty* p = grid_->Append(make_property(row, *settings_));
        // Not for whoever looks over the operator's shoulder.
        if (row.editor == kind::secret) p->SetAttribute(wxPG_STRING_PASSWORD, true);
    }

    SetSizer(column);
    Bind(wxEVT_CHAR_HOOK, &quillmar_options::on_char_hook, this);
    // Said while typing, not only at "ОК": the grid alone just beeps at text that is no number.
    Bind(wxEVT_TEXT, [this](wxCommandEvent& event) {
        event.Skip();
        if (wxPGProperty* p = grid_->GetSelection(); p && event.GetEventObject() == grid_->GetEditorControl())
            show_message(refused_text_of(p, false));
    });
    show_error = [this](const wxString& text) {
        wxMessageDialog box(this, text, L"Настройка программы", wxOK | wxICON_ERROR);
        box.SetOKLabel(L"ОК");
        box.ShowModal();
    };
    // On the screen, not on the parent window (Centre would use the parent).
    CentreOnScreen(wxBOTH);
}

void quillmar_options::save() {
    for (const auto& row : rows) {
        wxPGProperty* p = grid_->GetPropertyByName(row.key);
        if (!p) continue;
        // A line the store could not read cleanly is the operator's to change, not ours.
        if (settings_->damaged(row.key) && !p->HasFlag(wxPG_PROP_MODIFIED)) continue;
        if (p->GetValue().IsNull()) {  // a choice whose stored text matched no entry
            settings_->write_text(row.key, wxString());
            continue;
        }
        switch (row.editor) {
        case kind::boolean: settings_->write_bool(row.key, p->GetValue().GetBool()); break;
        case kind::floating:
            if (const auto number = parse_decimal_number(p->GetValueAsString().ToStdWstring()))
                settings_->write_double(row.key, *number);
            break;
        default:  // choices as their displayed text, the integer as its text
            settings_->write_text(row.key, p->GetValueAsString());
        }
    }
}

void quillmar_options::finish(int code) {
    if (IsModal())
        EndModal(code);
    else {
        SetReturnCode(code);
        Hide();
    }
}

wxString quillmar_options::field_text(const wxString& key) const {
    wxPGProperty* p = grid_->GetPropertyByName(key);
    if (!p) return wxString();
    // What is typed in the open editor is not yet the property's value.
    if (p == grid_->GetSelection())
        if (auto* editor = dynamic_cast<wxTextCtrl*>(grid_->GetEditorControl())) return editor->GetValue();
    return p->GetValueAsString();
}

std::vector<setting_text> quillmar_options::typed_values() const {
    std::vector<setting_text> values;
    for (const auto& row : rows)
        if (row.editor != kind::choice && row.editor != kind::boolean)
            values.push_back({row.key, field_label(row), field_text(row.key).ToStdWstring()});
    return values;
}

wxString quillmar_options::refused_text_of(wxPGProperty* property, bool refused) const {
    if (!property) return wxString();
    for (const auto& value : typed_values())
        if (value.key == property->GetName().ToStdWstring())
            if (auto message = refuse_setting(value)) return *message;
    return refused ? L"Недопустимое значение поля \"" + property->GetLabel() + L"\"" : wxString();
}

void quillmar_options::show_message(const wxString& text) {
    if (message_->GetLabel() == text) return;
    message_->SetLabel(text);
    Layout();
}

void quillmar_options::on_ok(wxCommandEvent&) {
    // Every field the readers could not use is refused here, with the dialog kept open and
    // every edit in it. Handing typed text to the grid's own check from here would show its
    // box inside this handler, and closing that box crashed the grid (wxGTK 3.2).
    if (const auto refused = first_refused_setting(typed_values())) {
        show_message(refused->message);
        show_error(refused->message);
        grid_->SelectProperty(wxString(refused->key), true);
        return;
    }
    // A value still being typed in an editor is not yet the property's value: take it in, or
    // pressing "ОК" straight after typing would drop it.
    if (!grid_->CommitChangesFromEditor()) return;
    save();
    finish(wxID_OK);
}

bool quillmar_options::cancel_cell_edit() {
    wxPGProperty* p = grid_->GetSelection();
    wxWindow* editor = grid_->GetEditorControl();
    if (!p || !editor) return false;
    auto* text = dynamic_cast<wxTextCtrl*>(editor);
    const bool edited = grid_->IsEditorsValueModified() || p->HasFlag(wxPG_PROP_INVALID_VALUE) ||
                        (text && text->GetValue() != p->GetDisplayedString());
    if (!edited) return false;
    p->GetEditorClass()->SetControlStringValue(p, editor, p->GetDisplayedString());
    grid_->EditorsValueWasNotModified();
    grid_->OnValidationFailureReset(p);
    show_message(wxString());
    return true;
}

void quillmar_options::on_char_hook(wxKeyEvent& event) {
    // Escape in an open drop-down closes only the drop-down: closing the dialog under it left
    // the list measuring items of a destroyed control (an assertion box of wxGTK 3.2).
    if (event.GetKeyCode() == WXK_ESCAPE) {
        if (auto* combo = dynamic_cast<wxComboCtrl*>(grid_->GetEditorControl()); combo && combo->IsPopupShown()) {
            combo->Dismiss();
            return;
        }
        // Escape in a cell being edited takes back that cell only; the dialog and its other
        // edits stay. A second Escape closes the dialog as usual.
        if (cancel_cell_edit()) return;
    }
    event.Skip();
}

void quillmar_options::on_cancel(wxCommandEvent&) { finish(wxID_CANCEL); }

wxString quillmar_options::message() const { return message_->GetLabel(); }
