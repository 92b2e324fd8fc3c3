#pragma once
// The main window "Подвагонные камеры": menus, toolbar, the three panes, the status bar, the
// command handlers and the receiving side of the worker threads' events.
//
// A thin shell: the state machine, its enabling rules and what the workers report live in
// recorder_core, log rows in log/, settings in settings_store; handlers turn an event into one
// call on those objects and render what recorder_core derives (status fields, health strip).
//
// Ownership: created by the application object and owned by the toolkit's window tree. Owns
// the settings store (shared with workers), the active frame source (through recorder_core),
// the stopped sources still being destroyed (source_retirer), the network services and the
// event sink it hands to workers. Destruction first detaches that sink, so workers that
// outlive the window post into nothing, then stops the services, and waits for every stopped
// recording to be stored.
// Errors: the constructor throws std::runtime_error when it cannot go on (the log directory
// cannot be created, ...); everything it had set up is released before the exception leaves.
// Thread safety: GUI thread only; workers reach it through event_sink() alone.
#include "app/odometer_probe_task.h"
#include "app/pane_layout.h"
#include "app/recorder_core.h"
#include "app/source_retirer.h"
#include "app/status_throttle.h"
#include "base/thread_message.h"
#include "app/window_event_sink.h"
#include "camera/camera_list.h"
#include "camera/jai_camera.h"
#include "database/database_registry.h"
#include "database/recording_database.h"
#include "settings/settings_store.h"

#include <functional>
#include <optional>
#include <string>
#include <memory>
#include <vector>

#include <opencv2/core/mat.hpp>

#include <wx/aui/aui.h>
#include <wx/frame.h>
#include <wx/timer.h>

class camera_discovery;
class depot_link;
class maintenance_jobs;
class wxComboBox;
class wxListCtrl;
class wxMenu;
class wxThreadEvent;
class wxUpdateUIEvent;
class database_list;
class health_strip;
class database_loader;
class camera_backend;
class jai_factory;
class log_viewer;
class maintenance_ui;
class network_services;
class VImagePanel;
class viewer_dialog;

class quillmar_frame : public wxFrame {
public:
    // Runs the whole start-up (frame_startup); without start_up only the bare window is made,
    // for a test to run the steps itself. `cameras` serves the window's camera factory; none
    // takes the backend the environment asks for (camera_backend_from_environment()).
    explicit quillmar_frame(bool start_up = true, std::shared_ptr<camera_backend> cameras = nullptr);
    ~quillmar_frame() override;

    // For the application object and tests.
    recorder_core& state() { return state_; }
    event_sink_ptr event_sink() const { return events_; }
    settings_ptr settings() const { return settings_; }
    const wxString& log_file_path() const { return log_file_path_; }
    const wxString& settings_file_path() const { return settings_file_path_; }
    log_viewer* log_pane() const { return log_; }
    VImagePanel* image_panel() const { return image_panel_; }
    database_list* database_pane() const { return database_list_; }
    database_loader& databases() { return *loader_; }
    wxComboBox* camera_combo() const { return camera_combo_; }
    wxComboBox* exposure_combo() const { return exposure_combo_; }
    const camera_map& cameras() const { return cameras_; }
    // A camera search runs (started at start-up and by "Обновить список камер").
    bool discovering() const;
    const jai_camera_ptr& camera() const { return camera_; }
    wxMenu* camera_popup() const { return camera_popup_.get(); }
    wxMenu* database_popup() const { return database_popup_.get(); }
    wxAuiManager& aui() { return aui_; }
    health_strip* strip() const { return strip_; }
    // Renders recorder_core's health cells now (the strip's timer does it every second).
    void refresh_health();
    network_services* services() const { return services_.get(); }
    // The depot upload, made at start-up (idle unless the settings switch it on).
    depot_link* depot() const { return depot_.get(); }

    // Whether the command `id` is enabled now (what the update-UI handler shows).
    bool command_enabled(int id) const;

    // Commands, callable directly (tests, remote commands); each checks its precondition.
    // Stop returns at once: the source is destroyed by the retirer, and until it is gone the
    // lamp says "СОХРАНЕНИЕ", status field 2 counts the frames left and nothing starts.
    void capture();
    void capture_and_record();
    void stop();
    void refresh_cameras();
    void refresh_databases();
    // The camera combo box's selection: release the open camera, then open `name`.
    void choose_camera(const wxString& name);
    // The exposure combo box's selection.
    void choose_exposure(const wxString& mode);
    // The Settings command with the dialog's modal result supplied by `show` (the real command
    // shows quillmar_options modally).
    void run_settings(const std::function<int(settings_ptr)>& show);

    // "Просмотр базы": the viewer on the selected database, modally (or through the hook
    // below, which tests set to drive the dialog themselves).
    void view_database();
    std::function<void(viewer_dialog&)> show_viewer;
    // Where the odometer test's verdict on the configured port is shown (show_odometer_verdict
    // unless a test answers here); true: set the format it offers.
    std::function<bool(const odometer_verdict_message&)> show_odometer_result;
    // The folder of the list's first selected row; empty when there is none.
    std::wstring selected_database() const;
    // The same when `command` is allowed now, else empty.
    std::wstring selected_for(int command) const;
    // The settings "scale" and "show_scale" the viewers start with.
    double scale() const;
    bool show_scale() const;

    // "Удаление базы", "Архивация базы", "Заменить борт", "Заменить код сеанса" on the
    // selected database; each does nothing without a selection or while a source is active.
    void delete_selected_database();
    void archive_selected_database();
    void replace_selected_side();
    void replace_selected_session_code();
    // Where those commands ask and report (message boxes and dialogs unless a test puts its
    // own answers here).
    void set_maintenance_ui(std::unique_ptr<maintenance_ui> ui);

private:
    friend class frame_startup;

    void build_menus();
    void build_panes();
    // The top row gives the log room for its rows on the screen the window has now.
    void fit_panes();
    void build_status_and_toolbar();
    void write_startup_rows();
    void bind_thread_events();
    void release();

    database_selection database_state() const;
    void write_rows(const std::vector<camera_log_row>& rows);
    void select_camera_named(const std::string& name);
    void release_camera();
    void fill_camera_combo();
    // Starts a camera search; `choose` names the camera to open when it ends.
    void search_cameras(std::function<std::optional<std::string>(const camera_map&)> choose);
    void on_cameras_found(const camera_refresh& found);
    void enter_session_code();
    void test_odometer();
    maintenance_ui& maintenance();
    void refill_from_registry();
    void reread_database(const std::wstring& folder);  // after an edit of side or code

    // Command and control handlers.
    void on_update_ui(wxUpdateUIEvent& event);
    void on_command(wxCommandEvent& event);
    void on_right_down(wxMouseEvent& event);

    // Thread event handlers.
    void on_new_frame(wxThreadEvent& event);
    void on_grab_stats(wxThreadEvent& event);
    void on_record_status(wxThreadEvent& event);
    // Start and Stop: no status text of one run outlives it.
    void clear_run_status();
    void read_camera_rate();  // for the strip's fps rule
    void on_status_text(wxThreadEvent& event);
    // Every status field text goes through here (see status_throttle); fields out of the
    // bar's range are ignored.
    void show_status(int field, const wxString& text);
    void show_held_status();
    void put_status(int field, const wxString& text);  // field checked by show_status
    void start_status_timer();                         // for the next held-back text, if any
    void on_log_error(wxThreadEvent& event);
    void on_log_info(wxThreadEvent& event);
    void on_rc_command(wxThreadEvent& event);
    void on_database_info(wxThreadEvent& event);
    void on_source_retired(wxThreadEvent& event);
    void on_odometer_probed(wxThreadEvent& event);
    void on_depot_status(wxThreadEvent& event);
    // The settings' depot keys to the upload; the "Депо" column cleared when it is off.
    void apply_depot_settings();

    std::shared_ptr<window_event_sink> events_;
    // The recordings listed (the image service looks sessions up in it) and the recording in
    // progress (its live frames); both outlive every worker below that uses them.
    database_registry registry_;
    recording_database live_;
    std::shared_ptr<camera_backend> camera_backend_;  // what the factory is opened on; null: the environment's
    std::unique_ptr<jai_factory> factory_;            // open for the window's whole life
    // "Тест ДПП", running or done; stopped and joined in release(), before the window goes.
    std::unique_ptr<odometer_probe_task> odometer_probe_;
    std::unique_ptr<camera_discovery> discovery_;     // searches with factory_; goes before it
    // Which camera to open once the running search ends (none: leave the choice to the operator).
    std::function<std::optional<std::string>(const camera_map&)> choose_found_;
    pane_manager aui_;
    settings_ptr settings_;
    recorder_core state_;
    // Destroys stopped sources off this thread; finished in release(), before the camera and
    // live_ they use go.
    source_retirer retirer_;
    camera_map cameras_;
    jai_camera_ptr camera_;                       // the open camera, or none; frame sources hold it too
    std::unique_ptr<database_loader> loader_;     // registry list model and the scan thread
    std::unique_ptr<network_services> services_;  // cut off (sink detached), then stopped at release
    // Queues its statuses to this window: joined first in release().
    std::unique_ptr<depot_link> depot_;
    status_throttle status_{std::chrono::milliseconds(250)};
    wxTimer status_timer_;                         // shows the held-back status texts when they are due
    wxTimer health_timer_;                         // the strip's figures, once a second
    std::unique_ptr<maintenance_ui> maintenance_;  // created on first use
    // Archive and delete on their worker; destroyed before maintenance_ and registry_.
    std::unique_ptr<maintenance_jobs> jobs_;

    log_viewer* log_ = nullptr;  // child windows, owned by the window tree
    VImagePanel* image_panel_ = nullptr;
    database_list* database_list_ = nullptr;
    health_strip* strip_ = nullptr;
    wxComboBox* camera_combo_ = nullptr;
    wxComboBox* exposure_combo_ = nullptr;
    std::unique_ptr<wxMenu> camera_popup_;
    std::unique_ptr<wxMenu> database_popup_;

    wxString exposure_mode_;
    wxString log_file_path_;
    wxString settings_file_path_;
};
