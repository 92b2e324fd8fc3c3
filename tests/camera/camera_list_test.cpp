#include "camera/camera_list.h"
#include "camera/exposure_modes.h"

#include "scripted_fixture.h"

#include <stdexcept>

namespace {

class CameraList : public scripted_camera_test {
protected:
    std::wstring error_of_refresh() {
        auto r = refresh_camera_list(*factory);
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.cameras.empty());
        return r.rows.size() == 1 && r.rows[0].error ? r.rows[0].text : L"<no single error row>";
    }
};

TEST_F(CameraList, NamesCarryModelAddressAndDriverTag) {
    EXPECT_EQ(camera_driver_tag("X INT=>SD INT=>FD"), "[FilterDriver]");
    EXPECT_EQ(camera_driver_tag("TL=>GevTL , INT=>SD , DEV=>1"), "[SocketDriver]");
    EXPECT_EQ(camera_driver_tag("USB-1"), "[UnknownDriver]");

    backend->set_cameras({{"B INT=>SD", "CV-A", "10.0.0.9"},
                          {"A INT=>FD", "CV-A", "10.0.0.9"},
                          {"C", "AB-1", "10.0.0.1"},
                          {"D", "AB-1", "10.0.0.1"}});  // same name as "C": the first stays
    const camera_map map = enumerate_cameras(*factory);
    const camera_map expected = {{"AB-1 10.0.0.1 [UnknownDriver]", "C"},
                                 {"CV-A 10.0.0.9 [FilterDriver]", "A INT=>FD"},
                                 {"CV-A 10.0.0.9 [SocketDriver]", "B INT=>SD"}};
    EXPECT_EQ(map, expected);

    const auto rows = camera_list_rows(map);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].text, L"Найдено камер: 3");
    EXPECT_EQ(rows[1].text, L"C");
    EXPECT_EQ(rows[2].text, L"A INT=>FD");
    EXPECT_FALSE(rows[3].error);
}

TEST_F(CameraList, NoCameraGivesAnEmptyMapAndNoChoice) {
    backend->set_cameras({});
    auto r = refresh_camera_list(*factory);
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.cameras.empty());
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0].text, L"Найдено камер: 0");
    EXPECT_FALSE(choose_startup_camera(r.cameras, "SocketDriver"));
}

TEST_F(CameraList, EnumerationFailuresGiveTheirTexts) {
    backend->set_cameras({{"A INT=>SD", "M", "1.2.3.4"}, {"B INT=>FD", "M", "1.2.3.5"}});
    const std::pair<const char*, const wchar_t*> cases[] = {
        {"J_Factory_UpdateCameraList", L"Не удалось обновить список камер."},
        {"J_Factory_GetNumOfCameras", L"Не удалось получить число камер."},
        {"J_Factory_GetCameraIDByIndex", L"Не удалось прочитать идентификатор камеры."},
        {"J_Factory_GetCameraInfo:model", L"Не удалось прочитать модель камеры."},
        {"J_Factory_GetCameraInfo:ip", L"Не удалось прочитать IP-адрес камеры."},
    };
    for (const auto& [call, text] : cases) {
        backend->clear_failures();
        backend->fail(call, J_ST_ERROR, 1);  // the second camera's step fails: nothing is kept
        EXPECT_EQ(error_of_refresh(), text) << call;
    }
    backend->clear_failures();
    backend->fail("J_Factory_Open", J_ST_ERROR, 2);  // reopened after the first camera
    EXPECT_EQ(error_of_refresh(), L"Не удалось открыть библиотеку камер.");
}

TEST_F(CameraList, StartUpChoicePrefersTheDriverSetting) {
    const camera_map map = {{"M 1.1.1.1 [SocketDriver]", "A INT=>SD"}, {"M 1.1.1.2 [FilterDriver]", "B INT=>FD"}};
    EXPECT_EQ(choose_startup_camera(map, "FilterDriver"), "M 1.1.1.2 [FilterDriver]");
    EXPECT_EQ(choose_startup_camera(map, "SocketDriver"), "M 1.1.1.1 [SocketDriver]");
    EXPECT_EQ(choose_startup_camera(map, "NoSuchDriver"), "M 1.1.1.1 [SocketDriver]");
}

TEST_F(CameraList, SelectOpensByNameAndReportsIt) {
    const camera_map map = refresh_camera_list(*factory).cameras;
    const std::string name = "Model-A 10.0.0.5 [SocketDriver]";
    ASSERT_EQ(map.count(name), 1u);

    auto gone = select_camera(*factory, map, "Vanished 1.2.3.4 [SocketDriver]");
    EXPECT_FALSE(gone.camera);
    EXPECT_TRUE(gone.rows.empty());

    auto chosen = select_camera(*factory, map, name);
    ASSERT_TRUE(chosen.camera);
    ASSERT_EQ(chosen.rows.size(), 1u);
    EXPECT_EQ(chosen.rows[0].text, L"Выбрана камера: CAM-1 INT=>SD");
    const std::size_t with_second = backend->open_handles();
    chosen.camera.reset();
    EXPECT_EQ(backend->open_handles(), with_second - 1);  // releasing closes it

    backend->fail("J_Camera_Open");
    auto refused = select_camera(*factory, map, name);
    EXPECT_FALSE(refused.camera);
    ASSERT_EQ(refused.rows.size(), 1u);
    EXPECT_TRUE(refused.rows[0].error);
    EXPECT_EQ(refused.rows[0].text, L"Не удалось открыть камеру.");
}

TEST_F(CameraList, ExposureModeIsSavedThenAppliedToTheOpenCamera) {
    const auto& names = exposure_mode_names();
    ASSERT_EQ(names.size(), 10u);
    EXPECT_EQ(names.front(), L"Off");
    EXPECT_EQ(names.back(), L"ContinuousPreset9");

    std::wstring kept;
    const auto keep = [&kept](const std::wstring& mode) { kept = mode; };
    auto rows = choose_exposure_mode(nullptr, L"ContinuousPreset2", keep);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].text, L"Выбран режим выдержки: ContinuousPreset2");
    EXPECT_EQ(backend->count_calls("J_Camera_SetValueString:ExposureMode=ContinuousPreset2"), 0u);

    choose_exposure_mode(camera.get(), L"ContinuousPreset3", keep);
    EXPECT_EQ(backend->count_calls("J_Camera_SetValueString:ExposureMode=ContinuousPreset3"), 1u);

    backend->fail("J_Camera_SetValueString");
    try {
        choose_exposure_mode(camera.get(), L"ContinuousPreset4", keep);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Не удалось установить режим выдержки.");
    }
    // Refused: the kept mode is the one the camera has.
    EXPECT_EQ(kept, L"ContinuousPreset3");
    EXPECT_EQ(exposure_refused_row(L"ContinuousPreset4", L"ContinuousPreset3", "Не удалось установить режим выдержки."),
              L"Камера не приняла режим выдержки ContinuousPreset4: Не удалось установить режим выдержки. "
              L"Оставлен режим ContinuousPreset3");
}

TEST_F(CameraList, VersionLineNamesTheSdk) { EXPECT_EQ(factory->version_line(), L"JAI scripted camera layer"); }

}  // namespace
