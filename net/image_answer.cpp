#include "net/image_answer.h"

#include <exception>
#include <optional>
#include <string>

#include "base/locale_text.h"
#include "database/frame_image.h"
#include "database/database_registry.h"
#include "database/recording_database.h"
#include "database/session_code.h"
#include "net/png_pipeline.h"

namespace {

std::vector<std::uint8_t> respond(const std::vector<unsigned char>& png) { return image_response(png); }

std::vector<std::uint8_t> live_answer(std::uint32_t count, const png_pipeline& pipeline,
                                      const recording_database* live) {
    bool open = false;
    const std::optional<std::string> stored = live ? live->read_stored(count, &open) : std::nullopt;
    if (!open) return respond({});
    std::vector<unsigned char> png;
    if (stored) png = pipeline.from_stored(*stored);
    if (png.empty())
        png = pipeline.from_image(make_placeholder_frame("Requested frame not found [" + std::to_string(count) + "]"));
    return respond(png);
}

std::vector<std::uint8_t> named_answer(const image_request& request, const png_pipeline& pipeline,
                                       const database_registry& registry) {
    const std::wstring code = to_wide(make_session_code(request.first, request.second));
    const auto found = registry.stored_lookup(code, request.count);
    if (found.stored) return respond(pipeline.from_stored(*found.stored));
    if (!found.placeholder.empty()) return respond(pipeline.from_image(found.placeholder));
    return respond({});
}

}  // namespace

std::vector<std::uint8_t> answer_image_request(const image_request& request, const png_pipeline& pipeline,
                                               const database_registry& registry, const recording_database* live,
                                               const event_sink_ptr& sink) {
    try {
        if (request.second.empty()) return live_answer(request.count, pipeline, live);
        return named_answer(request, pipeline, registry);
    } catch (const std::exception& e) {
        post_log_error(sink, to_wide(e.what()));
        return respond({});
    }
}
