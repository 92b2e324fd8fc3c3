#include "app/frame_startup.h"

#include "app/app_paths.h"
#include "app/camera_discovery.h"
#include "app/depot_link.h"
#include "app/quillmar_frame.h"
#include "app/service_options.h"
#include "app/toolbar_icons.h"
#include "camera/jai_factory.h"
#include "database/database_loader.h"
#include "log/log.h"
#include "net/network_services.h"
#include "settings/settings_keys.h"

#include <ctime>
#include <stdexcept>

#include <unistd.h>

#include <wx/filename.h>
#include <wx/utils.h>

namespace {

std::string narrow(const wxString& text) {
    const wxScopedCharBuffer bytes = text.mb_str(wxConvLibc);
    return std::string(bytes.data(), bytes.length());
}

}  // namespace

void frame_startup::run_all() {
    while (run_next()) {}
}

bool frame_startup::run_next() {
    quillmar_frame& f = frame_;
    switch (next_) {
    case step::sdk:
        f.factory_ =
            f.camera_backend_ ? std::make_unique<jai_factory>(f.camera_backend_) : std::make_unique<jai_factory>();
        f.discovery_ = std::make_unique<camera_discovery>([&f](const camera_refresh& found) { f.on_cameras_found(found); });
        f.SetIcon(window_icon());
        f.bind_thread_events();
        break;
    case step::settings: {
        home_ = wxGetHomeDir();
        const wxString config_dir = config_directory(home_);
        if (!ensure_directory(config_dir))
            log_error(wxString::Format(L"Не удается создать папку с файлами настройки [%s]", config_dir));
        f.settings_file_path_ = ::settings_file_path(config_dir);
        f.settings_ = std::make_shared<settings_store>(f.settings_file_path_);
        break;
    }
    case step::menus:
        f.build_menus();
        f.aui_.SetManagedWindow(&f);
        break;
    case step::logs: {
        const wxString log_dir = log_directory(home_);
        if (!ensure_directory(log_dir))
            throw std::runtime_error(
                narrow(wxString::Format(L"Не удается создать папку с файлами журналов [%s]", log_dir)));
        const std::time_t now = std::time(nullptr);
        f.log_file_path_ =
            wxFileName(log_dir, log_file_name(static_cast<std::uint32_t>(now), static_cast<unsigned long>(::getpid())))
                .GetFullPath();
        remove_old_logs(log_dir, now);
        break;
    }
    case step::panes:
        f.loader_ = std::make_unique<database_loader>(f.registry_);
        f.build_panes();
        break;
    case step::startup_rows: f.write_startup_rows(); break;
    case step::cameras: f.search_cameras(nullptr); break;
    case step::bars:
        f.build_status_and_toolbar();
        f.fit_panes();  // the bars took their height from the panes'
        break;
    case step::camera_choice: {
        const std::string driver = narrow(f.settings_->read_text(settings_keys::driver, settings_defaults::driver));
        auto choose = [driver](const camera_map& cameras) { return choose_startup_camera(cameras, driver); };
        // The search goes on behind the window; the camera opens when it ends.
        if (f.discovering())
            f.choose_found_ = choose;
        else if (const auto name = choose(f.cameras_))
            f.select_camera_named(*name);
        break;
    }
    case step::databases: f.refresh_databases(); break;
    case step::services:
        // Image data, discovery (a port that cannot be bound ends start-up here), and remote
        // control when rc_service_enabled says so now.
        {
            network_services::options options = service_options_from_environment();
            options.registry = &f.registry_;
            options.live = &f.live_;
            f.services_ = std::make_unique<network_services>(f.events_, f.settings_, options);
            // What a flood of clients can take is bounded by open files: say the numbers once.
            const descriptor_budget& d = f.services_->descriptors();
            log_info(L"Открытые файлы: предел " + std::to_wstring(d.soft) + L" (был " + std::to_wstring(d.soft_before) +
                     L", наибольший " + std::to_wstring(d.hard) + L"), открыто " + std::to_wstring(d.open_now) +
                     L"; соединений службы изображений: до " + std::to_wstring(d.connections));
        }
        f.depot_ = std::make_unique<depot_link>(&f, f.events_);
        f.apply_depot_settings();
        f.refresh_health();
        f.health_timer_.Start(1000);
        break;
    case step::done: return false;
    }
    next_ = static_cast<step>(static_cast<int>(next_) + 1);
    return true;
}
