// Camera errors as values: the library's words travel with a failure to the operator's row,
// after the fixed text (the capture thread's rows: capture_thread_test.cpp); and the J_ calls
// reach the backend their factory was opened on.
#include "camera/camera_list.h"
#include "scripted_fixture.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

TEST(CameraStatus, CarriesTheLibrarysWordsOnlyOnAFailure) {
    const camera_status ok;
    EXPECT_TRUE(ok.ok());
    EXPECT_EQ(ok, J_ST_SUCCESS);
    EXPECT_EQ(camera_status(J_ST_SUCCESS, "ignored").message(), "");

    const camera_status bare = J_ST_INVALID_HANDLE;
    EXPECT_FALSE(bare.ok());
    EXPECT_EQ(bare.code(), J_ST_INVALID_HANDLE);
    EXPECT_EQ(bare.message(), "");

    camera_status worded(J_ST_ERROR, "Timeout");
    const camera_status copy = worded;
    worded = camera_status(J_ST_ERROR, "other");
    EXPECT_EQ(copy.message(), "Timeout");  // a deep copy
    EXPECT_EQ(static_cast<J_STATUS_TYPE>(copy), J_ST_ERROR);

    struct row {
        camera_status status;
        const char* text;
        const char* expected;
    };
    const row rows[] = {
        {camera_status(J_ST_ERROR), "Ошибка создания потока данных", "Ошибка создания потока данных"},
        {camera_status(J_ST_ERROR, ""), "Ошибка создания потока данных", "Ошибка создания потока данных"},
        {camera_status(J_ST_ERROR, "no route"), "Ошибка создания потока данных", "Ошибка создания потока данных: no route"},
        {camera_status(J_ST_ERROR, "no route"), "Не удалось открыть камеру.", "Не удалось открыть камеру. no route"},
    };
    for (const auto& r : rows) EXPECT_EQ(r.status.describe(r.text), r.expected);
}

TEST(CameraDispatch, EachFactoryReachesItsOwnBackendAndHandlesKeepItAlive) {
    auto a = std::make_shared<scripted_camera_backend>();
    auto b = std::make_shared<scripted_camera_backend>();
    a->set_cameras({{"A INT=>SD", "Model-A", "10.0.0.1"}});
    b->set_cameras({{"B INT=>FD", "Model-B", "10.0.0.2"}, {"C", "Model-C", "10.0.0.3"}});
    a->set_version("backend a");
    std::weak_ptr<scripted_camera_backend> watch_b = b;
    {
        jai_factory fa(a);
        auto fb = std::make_unique<jai_factory>(b);
        b.reset();  // from here on the factory and its handles hold it
        EXPECT_EQ(fa.version_line(), L"JAI backend a");
        EXPECT_EQ(enumerate_cameras(fa).size(), 1u);
        EXPECT_EQ(enumerate_cameras(*fb).size(), 2u);

        JAI_Camera cam(fb->handle(), "C");
        fb.reset();  // the factory closes; the open camera still keeps its backend
        EXPECT_FALSE(watch_b.expired());
        std::int64_t width = 0;
        EXPECT_EQ(J_Camera_GetValueInt64(cam.handle(), "Width", &width), J_ST_SUCCESS);
        EXPECT_EQ(width, 64);
        EXPECT_EQ(a->count_calls("J_Camera_GetValueInt64:Width"), 0u);
    }
    EXPECT_TRUE(watch_b.expired()) << "the last handle closed, the backend is gone";
    EXPECT_EQ(a->open_handles(), 0u);

    FACTORY_HANDLE none = nullptr;
    EXPECT_EQ(J_Factory_Open(nullptr, "", &none), J_ST_INVALID_PARAMETER);
    std::uint32_t count = 0;
    EXPECT_EQ(J_Factory_GetNumOfCameras(none, &count), J_ST_INVALID_HANDLE);
}

class CameraWords : public scripted_camera_test {};

TEST_F(CameraWords, CameraListRowsNameTheCauseAfterTheirText) {
    struct row {
        const char* call;
        std::wstring text;
    };
    const row rows[] = {
        {"J_Factory_UpdateCameraList", L"Не удалось обновить список камер. no reply"},
        {"J_Factory_GetCameraIDByIndex", L"Не удалось прочитать идентификатор камеры. no reply"},
        {"J_Factory_GetCameraInfo:ip", L"Не удалось прочитать IP-адрес камеры. no reply"},
    };
    for (const auto& r : rows) {
        backend->clear_failures();
        backend->fail(r.call, J_ST_ERROR, 0, "no reply");
        const camera_refresh refresh = refresh_camera_list(*factory);
        ASSERT_EQ(refresh.rows.size(), 1u) << r.call;
        EXPECT_EQ(refresh.rows[0].text, r.text);
    }
    backend->clear_failures();
    const camera_map cameras = refresh_camera_list(*factory).cameras;
    backend->fail("J_Camera_Open", J_ST_ACCESS_DENIED, 0, "held by another program");
    const camera_selection refused = select_camera(*factory, cameras, cameras.begin()->first);
    ASSERT_EQ(refused.rows.size(), 1u);
    EXPECT_EQ(refused.rows[0].text, L"Не удалось открыть камеру. held by another program");
}

}  // namespace
