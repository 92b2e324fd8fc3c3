#include "export/export_job.h"

#include "base/thread_name.h"

#include <algorithm>

#include <leveldb/db.h>

#include "database/database_layout.h"
#include "database/reader_pool.h"

namespace {

// Shares of the whole when both are made: writing files costs little next to encoding.
constexpr double frames_share_with_video = 0.1;

export_control step_control(const export_control& control, double base, double share,
                            const std::function<void(double)>& whole) {
    export_control step = control;
    if (control.progress || whole)
        step.progress = [control, base, share, whole](const export_progress& p) {
            if (control.progress) control.progress(p);
            if (whole) whole(base + share * p.fraction);
        };
    return step;
}

export_outcome run_request(const export_request& request, const export_control& control,
                           const std::function<void(double)>& whole) {
    export_outcome outcome;
    try {
        if (!request.frames_dir && !request.video_file) throw export_error("Не выбрано, что экспортировать");
        // Either handle only reads: an export never changes the recording's files, and runs
        // while the image service or the viewer reads the same recording.
        std::unique_ptr<database_reader> shared;
        std::unique_ptr<read_handle> own;
        leveldb::DB* db = nullptr;
        try {
            if (request.readers) {
                shared = request.readers->open_reader(request.database.wstring());
                db = shared->shared_handle()->db.get();
            } else {
                own = open_leveldb_read_only(request.database.string());
                db = own->db.get();
            }
        } catch (const std::exception& e) {
            throw export_error("Не удалось открыть базу " + request.database.string() + ": " + e.what());
        }
        pending_output output;
        const double frames_share = request.video_file ? frames_share_with_video : 1.0;
        bool cancelled = false;
        if (request.video_file) {
            outcome.video = prepare_video(*db, request.range, *request.video_file, request.video,
                                          step_control(control, 0.0, 1.0 - frames_share, whole), output);
            cancelled = outcome.video.cancelled;
        }
        if (!cancelled && request.frames_dir) {
            pending_output frames;
            outcome.frames = prepare_frames(*db, request.range, *request.frames_dir,
                                            step_control(control, 1.0 - frames_share, frames_share, whole), frames);
            output.append(std::move(frames));
            cancelled = outcome.frames.cancelled;
        }
        if (cancelled || control.cancelled()) {
            outcome.state = export_outcome::status::cancelled;
            return outcome;  // output removes what was written
        }
        output.commit();
        outcome.state = export_outcome::status::done;
    } catch (const std::exception& e) {
        outcome.state = export_outcome::status::failed;
        outcome.error = e.what();
    }
    return outcome;
}

}  // namespace

export_outcome run_export(const export_request& request, const export_control& control) {
    return run_request(request, control, {});
}

std::string describe(const export_request& request, const export_outcome& outcome) {
    switch (outcome.state) {
    case export_outcome::status::cancelled: return "Экспорт отменён, файлы не записаны.";
    case export_outcome::status::failed: return "Экспорт не выполнен: " + outcome.error + ". Файлы не записаны.";
    case export_outcome::status::done: break;
    }
    std::string text;
    if (request.frames_dir)
        text += "Кадров записано: " + std::to_string(outcome.frames.frames) + " (" +
                std::to_string(outcome.frames.bytes) + " байт) в папку " + request.frames_dir->string() + ".\n";
    if (request.video_file) {
        text += "Видео: " + request.video_file->string() + ", кадров " + std::to_string(outcome.video.frames) + ", " +
                std::to_string(outcome.video.width) + " × " + std::to_string(outcome.video.height) + ", кодер " +
                outcome.video.encoder + ".\n";
        if (outcome.video.encoder != "libx264") text += "Кодера H.264 (libx264) нет, видео в формате MPEG-4.\n";
        if (outcome.video.undecodable)
            text += "Не читаются кадров: " + std::to_string(outcome.video.undecodable) +
                    " (в видео повторён предыдущий кадр).\n";
    }
    if (!text.empty()) text.pop_back();
    return text;
}

export_job::export_job(export_request request, std::function<void(std::uint64_t)> before_frame)
    : request_(std::move(request)), worker_([this, hook = std::move(before_frame)] {
          name_this_thread("qm-export");
          run(hook);
      }) {}

export_job::~export_job() {
    cancel();
    if (worker_.joinable()) worker_.join();
}

void export_job::run(std::function<void(std::uint64_t)> before_frame) {
    export_control control;
    control.cancel = &cancel_;
    control.before_frame = std::move(before_frame);
    control.progress = [this](const export_progress& p) { frames_.store(p.frames); };
    outcome_ = run_request(request_, control, [this](double whole) {
        permille_.store(static_cast<int>(std::clamp(whole, 0.0, 1.0) * 1000));
    });
    finished_.store(true);
}

const export_outcome& export_job::wait() {
    if (worker_.joinable()) worker_.join();
    return outcome_;
}
