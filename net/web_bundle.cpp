#include "net/web_bundle.h"

#include <array>
#include <cstdint>

#include "net/web/app_js.h"
#include "net/web/live_html.h"
#include "net/web/recording_html.h"
#include "net/web/recordings_html.h"
#include "net/web/style_css.h"

namespace {

template <std::size_t N>
std::string_view view_of(const unsigned char (&bytes)[N]) {
    return {reinterpret_cast<const char*>(bytes), N};
}

web_file make(std::string_view name, std::string_view type, std::string_view content) {
    return web_file{name, type, content, "\"" + fnv_hex(content) + "\"", std::make_shared<const std::string>(content)};
}

}  // namespace

std::string fnv_hex(std::string_view bytes) {
    std::uint64_t h = 14695981039346656037ull;
    for (const char c : bytes) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    static const char digits[] = "0123456789abcdef";
    std::string out(16, '0');
    for (int i = 15; i >= 0; --i, h >>= 4) out[static_cast<std::size_t>(i)] = digits[h & 15];
    return out;
}

const web_file* find_web_file(std::string_view name) {
    static const std::array<web_file, 5> files = {
        make("live.html", "text/html; charset=utf-8", view_of(web_live_html)),
        make("recordings.html", "text/html; charset=utf-8", view_of(web_recordings_html)),
        make("recording.html", "text/html; charset=utf-8", view_of(web_recording_html)),
        make("style.css", "text/css; charset=utf-8", view_of(web_style_css)),
        make("app.js", "text/javascript; charset=utf-8", view_of(web_app_js)),
    };
    for (const auto& f : files)
        if (f.name == name) return &f;
    return nullptr;
}
