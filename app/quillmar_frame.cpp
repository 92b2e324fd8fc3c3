#include "app/quillmar_frame.h"

#include "app/app_paths.h"
#include "app/camera_discovery.h"
#include "app/depot_link.h"
#include "app/main_toolbar.h"
#include "app/frame_startup.h"
#include "app/health_strip.h"
#include "app/maintenance_jobs.h"
#include "app/maintenance_prompts.h"
#include "app/service_options.h"
#include "app/startup_report.h"
#include "app/thread_events.h"
#include "app/worker_configs.h"
#include "app/window_ids.h"
#include "camera/continuous_grab.h"
#include "camera/continuous_grab_write.h"
#include "camera/exposure_modes.h"
#include "camera/frame_buffer.h"
#include "camera/jai_factory.h"
#include "app/database_list.h"
#include "database/database_loader.h"
#include "export/export_dialog.h"
#include "database/database_reader.h"
#include "database/database_scan.h"
#include "log/log.h"
#include "log/log_viewer.h"
#include "settings/quillmar_options.h"
#include "settings/settings_keys.h"
#include "recording/odometer_test.h"
#include "recording/write_thread_settings.h"
#include "viewer/VImagePanel.h"
#include "viewer/compare_dialog.h"
#include "viewer/viewer_dialog.h"

#include <algorithm>
#include <chrono>
#include <opencv2/imgproc.hpp>

#include <ctime>
#include <stdexcept>

#include <unistd.h>

#include <wx/combobox.h>
#include <wx/display.h>
#include <wx/filename.h>
#include <wx/listctrl.h>
#include <wx/menu.h>
#include <wx/stattext.h>
#include <wx/textdlg.h>
#include <wx/utils.h>
#include <wx/statusbr.h>
#include <wx/toolbar.h>
#include <wx/utils.h>

namespace {

const int update_ui_ids[] = {ID_CAMERA_COMBO,         ID_SETTINGS,
                             ID_REFRESH_CAMERAS,      ID_CAPTURE,
                             ID_CAPTURE_RECORD,       ID_STOP,
                             ID_SESSION_CODE,         ID_REFRESH_DATABASES,
                             ID_VIEW_DATABASE,        ID_DELETE_DATABASE,
                             ID_ARCHIVE_DATABASE,     ID_REPLACE_SIDE,
                             ID_REPLACE_SESSION_CODE, ID_EXPORT_DATABASE,
                             ID_COMPARE_DATABASE};

bool blocked_by_maintenance(int id) {
    return id == ID_DELETE_DATABASE || id == ID_ARCHIVE_DATABASE || id == ID_REPLACE_SIDE ||
           id == ID_REPLACE_SESSION_CODE || id == ID_REFRESH_DATABASES;
}

// The web service when it runs (its port setting may turn it off).
web_service* web_of(const std::unique_ptr<network_services>& services) { return services ? services->web() : nullptr; }

std::string narrow(const wxString& text) {
    const wxScopedCharBuffer bytes = text.mb_str(wxConvLibc);
    return std::string(bytes.data(), bytes.length());
}

}  // namespace

quillmar_frame::quillmar_frame(bool start_up, std::shared_ptr<camera_backend> cameras)
    : wxFrame(nullptr, 0, L"Подвагонные камеры", wxDefaultPosition, wxDefaultSize, wxDEFAULT_FRAME_STYLE | wxMAXIMIZE),
      events_(std::make_shared<window_event_sink>(this)),
      camera_backend_(std::move(cameras)),
      aui_(nullptr, wxAUI_MGR_ALLOW_FLOATING | wxAUI_MGR_TRANSPARENT_HINT | wxAUI_MGR_LIVE_RESIZE),
      retirer_([events = events_](std::uint64_t run) { events->post_retired(run); }) {
    // Without a window manager (a bare X server) nothing maximises the frame; fill the
    // screen ourselves so every pane is visible there too.
    SetSize(wxGetClientDisplayRect());
    jobs_ = std::make_unique<maintenance_jobs>([this]() -> maintenance_ui& { return maintenance(); }, registry_);
    jobs_->deleted = [this](const std::wstring& folder) {
        loader_->forget(folder);
        refill_from_registry();
    };
    if (!start_up) return;
    try {
        frame_startup(*this).run_all();
    } catch (...) {
        release();
        throw;
    }
}

quillmar_frame::~quillmar_frame() { release(); }

void quillmar_frame::release() {
    // Workers that outlive the window must find nobody to post to from here on.
    events_->detach();
    depot_.reset();  // cancels the request under way and joins "qm-depot"
    jobs_.reset();  // closes the progress window, cancels an archive, joins the worker
    odometer_probe_.reset();  // stops and joins "qm-probe", which queues its result to this window
    discovery_.reset();  // joins a camera search, which uses the factory
    health_timer_.Stop();
    services_.reset();  // stops and joins every service thread
    if (aui_.GetManagedWindow()) aui_.UnInit();
    settings_.reset();  // workers still holding it keep it alive; the last owner writes it
    // The one wait on this thread: every recording stopped or running is stored before the
    // camera and the live database go (the write thread ends before the capture thread).
    auto last = state_.retire();
    retirer_.retire(std::move(last.source), last.run);
    retirer_.finish();
    // The list draws from the loader's model: it goes first, then the loader joins its scan.
    delete database_list_;
    database_list_ = nullptr;
    loader_.reset();
    release_camera();
    factory_.reset();
}

void quillmar_frame::bind_thread_events() {
    Bind(EVT_NEW_FRAME, &quillmar_frame::on_new_frame, this);
    status_timer_.SetOwner(this);
    const auto show_held = [this](wxTimerEvent&) { show_held_status(); };
    Bind(wxEVT_TIMER, show_held, status_timer_.GetId());
    health_timer_.SetOwner(this);
    const auto refresh = [this](wxTimerEvent&) { refresh_health(); };
    Bind(wxEVT_TIMER, refresh, health_timer_.GetId());
    Bind(EVT_GRAB_STATS, &quillmar_frame::on_grab_stats, this);
    Bind(EVT_RECORD_STATUS, &quillmar_frame::on_record_status, this);
    Bind(EVT_STATUS_TEXT, &quillmar_frame::on_status_text, this);
    Bind(EVT_LOG_ERROR, &quillmar_frame::on_log_error, this);
    Bind(EVT_LOG_INFO, &quillmar_frame::on_log_info, this);
    Bind(EVT_RC_COMMAND, &quillmar_frame::on_rc_command, this);
    Bind(EVT_DATABASE_INFO, &quillmar_frame::on_database_info, this);
    Bind(EVT_SOURCE_RETIRED, &quillmar_frame::on_source_retired, this);
    Bind(EVT_ODOMETER_PROBED, &quillmar_frame::on_odometer_probed, this);
    Bind(EVT_DEPOT_STATUS, &quillmar_frame::on_depot_status, this);
}

void quillmar_frame::build_menus() {
    auto* file = new wxMenu;
    file->Append(ID_SETTINGS, L"Настройки");
    file->Append(ID_EXIT, L"Выход");

    auto* camera = new wxMenu;
    camera->Append(ID_CAPTURE, L"Захват");
    camera->Append(ID_CAPTURE_RECORD, L"Захват и запись");
    camera->Append(ID_STOP, L"Остановить");
    camera->AppendSeparator();
    camera->Append(ID_REFRESH_CAMERAS, L"Обновить список камер");
    camera->Append(ID_SESSION_CODE, L"Ввести код текущего сеанса");

    auto* processing = new wxMenu;
    processing->Append(ID_VIEW_DATABASE, L"Просмотр базы");
    processing->Append(ID_COMPARE_DATABASE, L"Сравнить с…");
    processing->Append(ID_DELETE_DATABASE, L"Удаление базы");
    processing->Append(ID_ARCHIVE_DATABASE, L"Архивация базы");
    processing->Append(ID_EXPORT_DATABASE, L"Экспорт…");
    processing->Append(ID_REPLACE_SIDE, L"Заменить борт");
    processing->Append(ID_REPLACE_SESSION_CODE, L"Заменить код сеанса");
    processing->AppendSeparator();
    processing->Append(ID_REFRESH_DATABASES, L"Обновить список баз");

    auto* tools = new wxMenu;
    tools->Append(ID_DPP_TEST, L"Тест ДПП");

    auto* bar = new wxMenuBar;
    bar->Append(file, L"Файл");
    bar->Append(camera, L"Камера");
    bar->Append(processing, L"Обработка");
    bar->Append(tools, L"Инструменты");
    SetMenuBar(bar);

    camera_popup_ = std::make_unique<wxMenu>();
    camera_popup_->Append(ID_CAPTURE, L"Захват");
    camera_popup_->Append(ID_CAPTURE_RECORD, L"Захват и запись");
    camera_popup_->Append(ID_STOP, L"Остановить");
    camera_popup_->Append(ID_SESSION_CODE, L"Ввести код текущего сеанса");

    database_popup_ = std::make_unique<wxMenu>();
    database_popup_->Append(ID_VIEW_DATABASE, L"Просмотр базы");
    database_popup_->Append(ID_COMPARE_DATABASE, L"Сравнить с…");
    database_popup_->Append(ID_DELETE_DATABASE, L"Удаление базы");
    database_popup_->Append(ID_ARCHIVE_DATABASE, L"Архивация базы");
    database_popup_->Append(ID_EXPORT_DATABASE, L"Экспорт…");
    database_popup_->Append(ID_REPLACE_SIDE, L"Заменить борт");
    database_popup_->Append(ID_REPLACE_SESSION_CODE, L"Заменить код сеанса");
    database_popup_->AppendSeparator();
    database_popup_->Append(ID_REFRESH_DATABASES, L"Обновить список баз");

    // Every command id, ID_SETTINGS to the last one, goes through one handler.
    Bind(wxEVT_MENU, &quillmar_frame::on_command, this, ID_SETTINGS, ID_EXPORT_DATABASE);
    for (int id : update_ui_ids) Bind(wxEVT_UPDATE_UI, &quillmar_frame::on_update_ui, this, id);
    Bind(wxEVT_RIGHT_DOWN, &quillmar_frame::on_right_down, this);
    // The title bar's close button asks like "Выход" while a recording runs; Close(true), after
    // "Выход" asked or at the end of the desktop session, cannot be vetoed and is not asked.
    Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent& event) {
        if (event.CanVeto() && !may_exit(state_.mode() == capture_mode::recording, maintenance())) {
            event.Veto();
            return;
        }
        event.Skip();
    });
}

void quillmar_frame::build_panes() {
    image_panel_ = new VImagePanel(this, ID_IMAGE_PANEL, wxDefaultPosition, wxSize(640, 480));
    log_ = new log_viewer(this, log_file_path_, ID_LOG_VIEW);
    database_list_ = new database_list(this, loader_->model());

    // The top row's lower edge is a sash: the operator trades camera height for log rows.
    // The toolkit caps a dock at a third of the window unless told otherwise.
    aui_.SetDockSizeConstraint(0.5, 0.8);
    aui_.AddPane(image_panel_, wxAuiPaneInfo()
                                   .Caption(L"Камера")
                                   .Top()
                                   .BestSize(640, 480)
                                   .MinSize(320, 240)
                                   .Resizable()
                                   .Floatable(false)
                                   .CloseButton(false));
    aui_.AddPane(log_, wxAuiPaneInfo().Caption(L"Журнал").Center().Floatable(false).CloseButton(false));
    aui_.AddPane(database_list_,
                 wxAuiPaneInfo().Caption(L"Данные").Top().Resizable().Floatable(false).CloseButton(false));
    // The health strip: the outermost top layer, so it spans the whole width above the panes.
    strip_ = new health_strip(this);
    strip_->show(state_.health().cells(recorder_core::clock::now()));
    aui_.AddPane(strip_, wxAuiPaneInfo()
                             .Name(L"health")
                             .Top()
                             .Layer(10)
                             .CaptionVisible(false)
                             .PaneBorder(false)
                             .Gripper(false)
                             .Floatable(false)
                             .Movable(false)
                             .CloseButton(false)
                             .MinSize(wxSize(-1, health_strip::strip_height))
                             .BestSize(wxSize(-1, health_strip::strip_height)));
    aui_.Update();
    Bind(wxEVT_SIZE, [this](wxSizeEvent& event) {
        event.Skip();
        CallAfter([this] { fit_panes(); });
    });
}

void quillmar_frame::fit_panes() {
    if (!log_ || !image_panel_ || !aui_.GetManagedWindow()) return;
    const int row = log_->GetCharHeight() * 3 / 2;
    const int caption = aui_.GetArtProvider()->GetMetric(wxAUI_DOCKART_CAPTION_SIZE);
    const int client = GetClientSize().y;
    aui_.fit_top_row({image_panel_, database_list_}, client,
                     top_row_height(client, health_strip::strip_height, caption, row));
}

void quillmar_frame::write_startup_rows() {
    log_info(startup_version_line());
    log_info(factory_->version_line());
    log_info(startup_opencv_line());
    log_info(startup_gui_line());
    log_info(startup_computer_line());
    log_info(startup_os_line());
    log_info(startup_side_line(*settings_));
    for (const auto& row : settings_->load_errors()) log_error(row);
}

void quillmar_frame::build_status_and_toolbar() {
    CreateStatusBar(4);

    // Words beside the icons: the operator finds "Запись" and "Стоп" without hovering.
    wxToolBar* bar = CreateToolBar(wxTB_HORIZONTAL | wxTB_HORZ_TEXT);
    bar->SetToolBitmapSize(wxSize(24, 24));
    main_toolbar::add_tools(bar);
    bar->AddControl(new wxStaticText(bar, wxID_ANY, L" Камера: "));
    camera_combo_ =
        new wxComboBox(bar, ID_CAMERA_COMBO, wxString(), wxDefaultPosition, wxSize(320, -1), 0, nullptr, wxCB_READONLY);
    fill_camera_combo();
    bar->AddControl(camera_combo_);
    bar->AddSeparator();
    bar->AddControl(new wxStaticText(bar, wxID_ANY, L" Выдержка: "));
    wxArrayString modes;
    for (const auto& mode : exposure_mode_names()) modes.Add(mode);
    exposure_combo_ =
        new wxComboBox(bar, ID_EXPOSURE_COMBO, wxString(), wxDefaultPosition, wxSize(200, -1), modes, wxCB_READONLY);
    bar->AddControl(exposure_combo_);
    main_toolbar::set_control_tips(camera_combo_, exposure_combo_);
    bar->Realize();

    exposure_mode_ = settings_->read_text(settings_keys::exposure_mode, settings_defaults::exposure_mode);
    exposure_combo_->SetValue(exposure_mode_);
    camera_combo_->Bind(wxEVT_COMBOBOX, [this](wxCommandEvent& e) { choose_camera(e.GetString()); });
    exposure_combo_->Bind(wxEVT_COMBOBOX, [this](wxCommandEvent& e) { choose_exposure(e.GetString()); });
}

void quillmar_frame::write_rows(const std::vector<camera_log_row>& rows) {
    for (const auto& row : rows) {
        if (row.error)
            log_error(row.text);
        else
            log_info(row.text);
    }
}

void quillmar_frame::fill_camera_combo() {
    if (!camera_combo_) return;  // built later, from cameras_
    camera_combo_->Clear();
    for (const auto& [name, id] : cameras_) camera_combo_->Append(wxString(name.c_str(), wxConvLibc));
}

bool quillmar_frame::discovering() const { return discovery_ && discovery_->busy(); }

void quillmar_frame::search_cameras(std::function<std::optional<std::string>(const camera_map&)> choose) {
    choose_found_ = std::move(choose);
    log_info(L"Поиск камер...");
    discovery_->start(*factory_);
}

void quillmar_frame::on_cameras_found(const camera_refresh& found) {
    write_rows(found.rows);
    if (found.ok) {
        cameras_ = found.cameras;
        fill_camera_combo();
    }
    const auto choose = std::move(choose_found_);
    choose_found_ = nullptr;
    if (choose)
        if (const auto name = choose(cameras_)) select_camera_named(*name);
}

void quillmar_frame::select_camera_named(const std::string& name) {
    if (camera_combo_) camera_combo_->SetValue(wxString(name.c_str(), wxConvLibc));
    camera_selection selected = select_camera(*factory_, cameras_, name);
    write_rows(selected.rows);
    if (selected.camera) {
        camera_ = std::move(selected.camera);
        state_.set_camera_open(true);
    }
}

void quillmar_frame::release_camera() {
    camera_.reset();
    state_.set_camera_open(false);
}

database_selection quillmar_frame::database_state() const {
    database_selection s;
    if (database_list_) {
        s.has_items = database_list_->GetItemCount() > 0;
        s.has_selection = database_list_->GetSelectedItemCount() > 0;
    }
    return s;
}

bool quillmar_frame::command_enabled(int id) const {
    // The factory is the search's until it ends.
    if ((id == ID_REFRESH_CAMERAS || id == ID_CAMERA_COMBO) && discovering()) return false;
    // While an archive or a delete runs, nothing else may edit, delete or rescan the folders.
    if (jobs_ && jobs_->busy() && blocked_by_maintenance(id)) return false;
    return state_.allows(id, database_state());
}

void quillmar_frame::on_update_ui(wxUpdateUIEvent& event) { event.Enable(command_enabled(event.GetId())); }

void quillmar_frame::on_right_down(wxMouseEvent& event) {
    if (event.GetId() == ID_DATABASE_LIST)
        PopupMenu(database_popup_.get());
    else if (event.GetId() == ID_IMAGE_PANEL)
        PopupMenu(camera_popup_.get());
}

void quillmar_frame::on_command(wxCommandEvent& event) {
    switch (event.GetId()) {
    case ID_SETTINGS:
        run_settings([this](settings_ptr settings) {
            quillmar_options dialog(this, std::move(settings));
            return dialog.ShowModal();
        });
        break;
    case ID_EXIT:
        if (may_exit(state_.mode() == capture_mode::recording, maintenance())) Close(true);
        break;
    case ID_CAPTURE: capture(); break;
    case ID_CAPTURE_RECORD: capture_and_record(); break;
    case ID_STOP: stop(); break;
    case ID_SESSION_CODE: enter_session_code(); break;
    case ID_REFRESH_CAMERAS: refresh_cameras(); break;
    case ID_REFRESH_DATABASES: refresh_databases(); break;
    case ID_DPP_TEST: test_odometer(); break;
    case ID_VIEW_DATABASE: view_database(); break;
    case ID_COMPARE_DATABASE:
        if (const std::wstring folder = selected_for(ID_COMPARE_DATABASE); !folder.empty())
            compare_with(this, folder, loader_->model().rows(), scale(), show_scale(), &registry_.readers());
        break;
    case ID_DELETE_DATABASE: delete_selected_database(); break;
    case ID_ARCHIVE_DATABASE: archive_selected_database(); break;
    case ID_REPLACE_SIDE: replace_selected_side(); break;
    case ID_REPLACE_SESSION_CODE: replace_selected_session_code(); break;
    case ID_EXPORT_DATABASE:
        if (const std::wstring folder = selected_for(ID_EXPORT_DATABASE); !folder.empty())
            export_database(this, folder, scale(), &registry_.readers());
        break;
    default: break;
    }
}

std::wstring quillmar_frame::selected_database() const {
    if (!database_list_ || database_list_->GetItemCount() == 0) return {};
    return database_list_->selected_path();
}

std::wstring quillmar_frame::selected_for(int command) const {
    return command_enabled(command) ? selected_database() : std::wstring();
}

double quillmar_frame::scale() const { return settings_->read_double(settings_keys::scale, settings_defaults::scale); }

bool quillmar_frame::show_scale() const {
    return settings_->read_bool(settings_keys::show_scale, settings_defaults::show_scale);
}

void quillmar_frame::view_database() {
    const std::wstring folder = selected_for(ID_VIEW_DATABASE);
    if (folder.empty()) return;
    viewer_dialog dialog(this, folder, &registry_.readers());
    dialog.panel()->scale = scale();
    dialog.panel()->show_scale = show_scale();
    if (show_viewer)
        show_viewer(dialog);
    else
        dialog.ShowModal();
}

void quillmar_frame::set_maintenance_ui(std::unique_ptr<maintenance_ui> ui) { maintenance_ = std::move(ui); }

maintenance_ui& quillmar_frame::maintenance() {
    if (!maintenance_) maintenance_ = std::make_unique<maintenance_prompts>(this);
    return *maintenance_;
}

void quillmar_frame::refill_from_registry() {
    loader_->resync();
    if (database_list_) database_list_->refill();
    if (web_service* web = web_of(services_)) web->recordings_changed();
}

void quillmar_frame::reread_database(const std::wstring& folder) {
    // The list and the image service's lookups see the edit at once, not after a reload.
    try {
        const ldb_info summary = database_reader(folder).summary();
        loader_->registry().update(folder, summary);
    } catch (const std::exception& e) {
        log_error(wxString(e.what(), wxConvLibc));
    }
    refill_from_registry();
}

void quillmar_frame::delete_selected_database() {
    // The list is refilled at the delete's end (jobs_->deleted).
    if (const std::wstring folder = selected_for(ID_DELETE_DATABASE); !folder.empty()) jobs_->start_delete(folder);
}

void quillmar_frame::archive_selected_database() {
    if (const std::wstring folder = selected_for(ID_ARCHIVE_DATABASE); !folder.empty()) jobs_->start_archive(folder);
}

void quillmar_frame::replace_selected_side() {
    const std::wstring folder = selected_for(ID_REPLACE_SIDE);
    if (folder.empty()) return;
    // A read handle kept open for the next reader would make the rewrite wait for it.
    registry_.readers().close_unused(folder);
    ::replace_side(folder, settings_->read_text(settings_keys::side, settings_defaults::side).ToStdWstring());
    reread_database(folder);
}

void quillmar_frame::replace_selected_session_code() {
    const std::wstring folder = selected_for(ID_REPLACE_SESSION_CODE);
    if (folder.empty()) return;
    registry_.readers().close_unused(folder);
    ::replace_session_code(folder, maintenance());
    reread_database(folder);
}

void quillmar_frame::capture() {
    if (!state_.allows(ID_CAPTURE)) return;
    clear_run_status();
    state_.start(
        [this] { return std::make_shared<continuous_grab>(events_, capture_config_from(settings_), camera_); });
    read_camera_rate();
    refresh_health();
}

void quillmar_frame::capture_and_record() {
    if (!state_.allows(ID_CAPTURE_RECORD)) return;
    clear_run_status();
    state_.start([this] {
        return std::make_shared<continuous_grab_write>(events_, capture_config_from(settings_), camera_,
                                                       write_thread_factory(settings_, &live_));
    });
    read_camera_rate();
    refresh_health();
}

void quillmar_frame::read_camera_rate() {
    // The fps rule compares with the rate the camera is set to; unknown, the rule stays off.
    double fps = 0;
    const bool known =
        camera_ && J_Camera_GetValueDouble(camera_->handle(), "AcquisitionFrameRate", &fps) == J_ST_SUCCESS;
    state_.health().camera_rate(known && fps > 0 ? std::optional<double>(fps) : std::nullopt);
}

void quillmar_frame::stop() {
    auto stopped = state_.retire();
    if (!stopped.source) return;
    retirer_.retire(std::move(stopped.source), stopped.run);
    clear_run_status();
    refresh_health();
}

void quillmar_frame::on_source_retired(wxThreadEvent& event) {
    const std::wstring said = state_.retired(event.GetPayload<std::uint64_t>());
    if (depot_) depot_->recording_closed();  // its database is closed now
    if (!said.empty()) show_status(2, said);
    refresh_health();
}

void quillmar_frame::clear_run_status() {
    status_.clear();
    if (wxStatusBar* bar = GetStatusBar())
        for (int field = 0; field < 3 && field < bar->GetFieldsCount(); ++field) SetStatusText(wxString(), field);
}

void quillmar_frame::refresh_health() {
    const auto now = recorder_core::clock::now();
    const std::wstring folder = settings_ ? write_path_from(settings_) : std::wstring();
    state_.tick([&folder]() -> std::optional<disk_space> { return disk_space_of(folder); }, now);
    const auto cells = state_.health().cells(now);
    if (strip_) strip_->show(cells);
    if (web_service* web = web_of(services_)) web->publish_health(health_for_web(state_.health(), cells));
}

void quillmar_frame::enter_session_code() {
    if (!state_.allows(ID_SESSION_CODE)) return;
    const frame_source_ptr source = state_.source();
    const std::string code = source->session_code();
    wxTextEntryDialog dialog(this, L"Введите код сеанса", L"Код сеанса", wxString(code.c_str(), wxConvLibc),
                             wxOK | wxCANCEL | wxCENTRE);
    if (dialog.ShowModal() == wxID_OK) source->set_session_code(narrow(dialog.GetValue()));
}

void quillmar_frame::refresh_cameras() {
    if (!state_.allows(ID_REFRESH_CAMERAS)) return;
    if (discovering()) return;
    const std::string kept = narrow(camera_combo_->GetValue());
    release_camera();
    search_cameras([kept](const camera_map&) { return std::optional<std::string>(kept); });
}

void quillmar_frame::choose_camera(const wxString& name) {
    if (!command_enabled(ID_CAMERA_COMBO)) return;
    release_camera();
    select_camera_named(narrow(name));
}

void quillmar_frame::choose_exposure(const wxString& mode) {
    try {
        write_rows(choose_exposure_mode(camera_.get(), mode.ToStdWstring(), [this](const std::wstring& kept) {
            settings_->write_text(settings_keys::exposure_mode, kept);
            settings_->flush();
        }));
        exposure_mode_ = mode;
    } catch (const std::runtime_error& e) {  // the camera kept its mode: so do the box and the setting
        if (exposure_combo_) exposure_combo_->SetValue(exposure_mode_);
        log_error(exposure_refused_row(mode.ToStdWstring(), exposure_mode_.ToStdWstring(), e.what()));
        throw;  // and its message box, as before
    }
}

void quillmar_frame::test_odometer() {
    // Up to a second per port that opens: on "qm-probe", one test at a time.
    if (odometer_probe_ && !odometer_probe_->finished()) {
        log_info(L"Тест ДПП уже идёт");
        return;
    }
    odometer_probe_.reset();  // a finished thread: joined at once
    log_info(L"Тест ДПП: поиск ДПП на последовательных портах...");
    const wxString port = settings_->read_text(settings_keys::dpp_port, settings_defaults::dpp_port);
    odometer_probe_ = std::make_unique<odometer_probe_task>(port.ToStdWstring(), [this](odometer_test_result result) {
        wxQueueEvent(this, make_odometer_probed_event(std::move(result)));
    });
}

void quillmar_frame::on_odometer_probed(wxThreadEvent& event) {
    const auto result = event.GetPayload<odometer_test_result>();
    for (const auto& row : result.rows) log_info(row);
    if (!result.configured || !settings_) return;
    const wxString format = settings_->read_text(settings_keys::dpp_format, settings_defaults::dpp_format);
    const auto message =
        odometer_verdict_text(result.configured->verdict, result.configured->path, format.ToStdWstring());
    const bool set = show_odometer_result ? show_odometer_result(message) : show_odometer_verdict(this, message);
    if (!set || !message.offer) return;
    settings_->write_text(settings_keys::dpp_format, message.setting);
    settings_->flush();
    log_info(L"Формат ДПП: " + message.setting);
}

void quillmar_frame::run_settings(const std::function<int(settings_ptr)>& show) {
    if (!state_.allows(ID_SETTINGS)) return;
    const std::wstring before = write_path_from(settings_);
    if (show(settings_) != wxID_OK) return;
    settings_->flush();
    if (write_path_from(settings_) != before) refresh_databases();
    apply_depot_settings();
}

void quillmar_frame::apply_depot_settings() {
    if (!depot_ || !settings_) return;
    if (depot_->apply(*settings_, narrow(write_path_from(settings_)))) return;
    loader_->model().clear_depot_texts();
    if (database_list_) database_list_->refill();
}

void quillmar_frame::on_depot_status(wxThreadEvent& event) {
    const auto update = event.GetPayload<depot_status_update>();
    loader_->model().set_depot_text(update.folder, update.text);
    if (database_list_) database_list_->refill();
}

void quillmar_frame::refresh_databases() {
    if (!state_.allows(ID_REFRESH_DATABASES) || !loader_) return;
    loader_->reload(events_, write_path_from(settings_));
    if (database_list_) database_list_->refill();
    if (web_service* web = web_of(services_)) web->recordings_changed();
}

void quillmar_frame::on_new_frame(wxThreadEvent& event) {
    if (!state_.new_frame()) return;
    if (frame_buffer* buffer = state_.source()->buffer()) {
        // Sized from the buffer every time, so another camera or pixel depth still fits.
        // One copy out of the buffer (under its lock) into the panel's own picture; the panel
        // converts only the part it shows, once for each new picture.
        copy_frame_gray8(*buffer, image_panel_->picture_buffer());
        image_panel_->picture_changed();
        image_panel_->Refresh(true);
        // Copied only while a page watches, a few times a second; encoded off this thread.
        if (web_service* web = web_of(services_)) web->publish_live(image_panel_->picture_buffer());
    }
    show_status(1, event.GetString());
}

void quillmar_frame::on_grab_stats(wxThreadEvent& event) {
    const auto message = event.GetPayload<thread_message>();
    if (state_.grab_stats(std::get<grab_stats_message>(message), recorder_core::clock::now()))
        show_status(0, event.GetString());
}

void quillmar_frame::on_record_status(wxThreadEvent& event) {
    const auto message = event.GetPayload<thread_message>();
    const auto& status = std::get<record_status_message>(message);
    if (!state_.record_status(status, recorder_core::clock::now())) return;
    show_status(2, event.GetString());
    // The lamp and the odometer cell change at once, not at the next second.
    if (status.news != recording_news::step) refresh_health();
}

void quillmar_frame::on_status_text(wxThreadEvent& event) { show_status(event.GetInt(), event.GetString()); }

void quillmar_frame::show_status(int field, const wxString& text) {
    wxStatusBar* bar = GetStatusBar();
    if (!bar || field < 0 || field >= bar->GetFieldsCount()) return;
    if (status_.offer(field, text, status_throttle::clock::now()))
        put_status(field, text);
    else if (!status_timer_.IsRunning())
        start_status_timer();
}

void quillmar_frame::show_held_status() {
    for (const auto& [field, text] : status_.take_due(status_throttle::clock::now())) put_status(field, text);
    start_status_timer();
}

void quillmar_frame::put_status(int field, const wxString& text) {
    // Redrawing an unchanged text costs the same as a new one.
    if (GetStatusBar()->GetStatusText(field) != text) SetStatusText(text, field);
}

void quillmar_frame::start_status_timer() {
    if (const auto wait = status_.next_due(status_throttle::clock::now()))
        status_timer_.StartOnce(std::max<int>(1, std::chrono::ceil<std::chrono::milliseconds>(*wait).count()));
}

void quillmar_frame::on_log_error(wxThreadEvent& event) { log_error(event.GetString()); }

void quillmar_frame::on_log_info(wxThreadEvent& event) { log_info(event.GetString()); }

void quillmar_frame::on_rc_command(wxThreadEvent& event) {
    switch (event.GetInt()) {
    case 1: capture_and_record(); break;
    case 2: stop(); break;
    case 3:
        // Its row came from the service, within the service's row budget.
        if (state_.restart_recording(
                [&](frame_source& source) { source.restart_recording(events_, narrow(event.GetString())); }))
            refresh_health();
        break;
    case web_commands::capture:
        if (std::get<rc_command_message>(event.GetPayload<thread_message>()).from_browser) {
            capture();
            break;
        }
        [[fallthrough]];
    default: log_info(L"Пустая команда управления"); break;
    }
}

void quillmar_frame::on_database_info(wxThreadEvent& event) {
    const auto message = event.GetPayload<thread_message>();
    if (loader_->on_database_info(std::get<database_info_message>(message)) && database_list_) database_list_->refill();
    if (web_service* web = web_of(services_)) web->recordings_changed();
}
