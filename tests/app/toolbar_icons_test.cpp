// The built-in icons are the images they were drawn as: 24 x 24, transparent around the
// drawing, every pixel as it always was; the toolbar and the window show them.
#include "app/toolbar_icons.h"
#include "app/window_ids.h"
#include "tests/app/frame_test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include <wx/image.h>
#include <wx/toolbar.h>

namespace {

// FNV-1a over every pixel as RGBA, a transparent one as four zero bytes: a fingerprint of what
// the icon shows, whatever the bitmap keeps behind its transparent parts.
std::uint64_t fingerprint(const wxImage& image, int* transparent = nullptr) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    int clear = 0;
    for (int y = 0; y < image.GetHeight(); ++y)
        for (int x = 0; x < image.GetWidth(); ++x) {
            unsigned char rgba[4] = {0, 0, 0, 0};
            if (image.IsTransparent(x, y)) {
                ++clear;
            } else {
                rgba[0] = image.GetRed(x, y);
                rgba[1] = image.GetGreen(x, y);
                rgba[2] = image.GetBlue(x, y);
                rgba[3] = 255;
            }
            for (unsigned char byte : rgba) hash = (hash ^ byte) * 0x100000001b3u;
        }
    if (transparent) *transparent = clear;
    return hash;
}

struct pixel {
    int x, y;
    unsigned char red, green, blue;
};

struct drawn_icon {
    toolbar_icon icon;
    const char* name;
    std::uint64_t fingerprint;  // of the icon as first drawn
    int transparent;
    pixel samples[3];
};

const drawn_icon drawn[] = {
    {toolbar_icon::camera,
     "camera",
     0xa1f83d666e0ec73eu,
     300,
     {{12, 12, 15, 15, 15}, {6, 12, 153, 153, 153}, {17, 9, 171, 171, 171}}},
    {toolbar_icon::settings,
     "settings",
     0x5dc83406285d5f85u,
     320,
     {{6, 12, 79, 144, 238}, {12, 5, 224, 224, 234}, {17, 9, 236, 236, 246}}},
    {toolbar_icon::exit,
     "exit",
     0xe6f2d1d2d8b27f55u,
     192,
     {{12, 12, 255, 246, 246}, {6, 12, 180, 27, 27}, {12, 5, 170, 24, 24}}},
};

TEST(toolbar_icons, each_built_in_png_shows_the_drawn_icon_pixel_for_pixel) {
    for (const drawn_icon& expected : drawn) {
        SCOPED_TRACE(expected.name);
        const auto png = toolbar_icon_png(expected.icon);
        ASSERT_GT(png.size(), 8u);
        EXPECT_EQ(std::memcmp(png.data(), "\x89PNG\r\n\x1a\n", 8), 0);
        const wxBitmap bitmap = toolbar_bitmap(expected.icon);
        ASSERT_TRUE(bitmap.IsOk());
        EXPECT_EQ(bitmap.GetSize(), wxSize(24, 24));
        const wxImage image = bitmap.ConvertToImage();
        int transparent = 0;
        EXPECT_EQ(fingerprint(image, &transparent), expected.fingerprint);
        EXPECT_EQ(transparent, expected.transparent);
        EXPECT_TRUE(image.IsTransparent(0, 0));
        EXPECT_TRUE(image.IsTransparent(23, 23));
        for (const pixel& p : expected.samples) {
            SCOPED_TRACE(testing::Message() << p.x << "," << p.y);
            ASSERT_FALSE(image.IsTransparent(p.x, p.y));
            EXPECT_EQ(image.GetRed(p.x, p.y), p.red);
            EXPECT_EQ(image.GetGreen(p.x, p.y), p.green);
            EXPECT_EQ(image.GetBlue(p.x, p.y), p.blue);
        }
    }
}

TEST(toolbar_icons, the_window_icon_is_the_camera) {
    const wxIcon icon = window_icon();
    ASSERT_TRUE(icon.IsOk());
    EXPECT_EQ(icon.GetSize(), wxSize(24, 24));
    EXPECT_EQ(fingerprint(icon.ConvertToImage()), drawn[0].fingerprint);
}

class toolbar_icons_frame_test : public ::testing::Test, public test_support::frame_fixture {};

TEST_F(toolbar_icons_frame_test, the_toolbar_and_the_window_show_the_built_in_icons) {
    open();
    wxToolBar* bar = frame->GetToolBar();
    ASSERT_NE(bar, nullptr);
    const int ids[] = {ID_CAPTURE, ID_SETTINGS, ID_EXIT};
    for (std::size_t i = 0; i < std::size(ids); ++i) {
        SCOPED_TRACE(drawn[i].name);
        const wxToolBarToolBase* tool = bar->FindById(ids[i]);
        ASSERT_NE(tool, nullptr);
        EXPECT_EQ(fingerprint(tool->GetNormalBitmap().ConvertToImage()), drawn[i].fingerprint);
    }
    ASSERT_EQ(frame->GetIcons().GetIconCount(), 1u);
    const wxIcon icon = frame->GetIcons().GetIconByIndex(0);
    ASSERT_TRUE(icon.IsOk());
    EXPECT_EQ(fingerprint(icon.ConvertToImage()), drawn[0].fingerprint);
}

}  // namespace
