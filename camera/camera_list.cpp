#include "camera/camera_list.h"

#include <wx/string.h>

#include <cstdio>
#include <stdexcept>

namespace {

std::wstring wide(const std::string& s) { return wxString::FromUTF8(s.c_str()).ToStdWstring(); }

// Throws `text`, with the library's words after it when it gave any.
void check(const camera_status& status, const char* text) {
    if (!status.ok()) throw std::runtime_error(status.describe(text));
}

std::string read_id(FACTORY_HANDLE factory, std::uint32_t index) {
    char id[sdk_text_capacity] = {};
    std::uint32_t size = sizeof id;
    check(J_Factory_GetCameraIDByIndex(factory, static_cast<std::int32_t>(index), id, &size),
          "Не удалось прочитать идентификатор камеры.");
    id[sizeof id - 1] = 0;
    return id;
}

std::string read_info(FACTORY_HANDLE factory, const std::string& id, int item, const char* error) {
    char text[sdk_text_capacity] = {};
    std::uint32_t size = sizeof text;
    check(J_Factory_GetCameraInfo(factory, id.c_str(), item, text, &size), error);
    text[sizeof text - 1] = 0;
    return text;
}

}  // namespace

std::string camera_driver_tag(const std::string& camera_id) {
    if (camera_id.find("INT=>FD") != std::string::npos) return "[FilterDriver]";
    if (camera_id.find("INT=>SD") != std::string::npos) return "[SocketDriver]";
    return "[UnknownDriver]";
}

camera_map enumerate_cameras(jai_factory& factory) {
    camera_map cameras;
    factory.reopen();
    for (std::uint32_t i = 0;; ++i) {
        check(J_Factory_UpdateCameraList(factory.handle(), nullptr), "Не удалось обновить список камер.");
        std::uint32_t count = 0;
        check(J_Factory_GetNumOfCameras(factory.handle(), &count), "Не удалось получить число камер.");
        if (i >= count) break;
        const std::string id = read_id(factory.handle(), i);
        const std::string again = read_id(factory.handle(), i);
        const std::string model =
            read_info(factory.handle(), again, CAM_INFO_MODELNAME, "Не удалось прочитать модель камеры.");
        const std::string ip = read_info(factory.handle(), again, CAM_INFO_IP, "Не удалось прочитать IP-адрес камеры.");
        cameras.emplace(model + " " + ip + " " + camera_driver_tag(again), id);
        factory.reopen();
    }
    return cameras;
}

std::vector<camera_log_row> camera_list_rows(const camera_map& cameras) {
    std::vector<camera_log_row> rows;
    char line[64];
    std::snprintf(line, sizeof line, "Найдено камер: %u", static_cast<unsigned>(cameras.size()));
    rows.push_back({false, wide(line)});
    for (const auto& [name, id] : cameras) rows.push_back({false, wide(id)});
    return rows;
}

camera_refresh refresh_camera_list(jai_factory& factory) {
    camera_refresh result;
    try {
        result.cameras = enumerate_cameras(factory);
    } catch (const std::exception& e) {
        result.rows.push_back({true, wide(e.what())});
        return result;
    }
    result.ok = true;
    result.rows = camera_list_rows(result.cameras);
    return result;
}

std::optional<std::string> choose_startup_camera(const camera_map& cameras, const std::string& driver) {
    if (cameras.empty()) return std::nullopt;
    for (const auto& [name, id] : cameras)
        if (name.find(driver) != std::string::npos) return name;
    return cameras.begin()->first;
}

camera_selection select_camera(const jai_factory& factory, const camera_map& cameras, const std::string& name) {
    camera_selection result;
    auto it = cameras.find(name);
    if (it == cameras.end()) return result;
    try {
        result.camera = std::make_shared<JAI_Camera>(factory.handle(), it->second);
    } catch (const std::exception& e) {
        result.rows.push_back({true, wide(e.what())});
        return result;
    }
    result.rows.push_back({false, L"Выбрана камера: " + wide(it->second)});
    return result;
}

camera_selection select_startup_camera(jai_factory& factory, const std::string& driver) {
    const camera_map cameras = enumerate_cameras(factory);
    const auto chosen = choose_startup_camera(cameras, driver);
    return chosen ? select_camera(factory, cameras, *chosen) : camera_selection{};
}
