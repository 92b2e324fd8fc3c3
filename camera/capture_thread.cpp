#include "camera/capture_thread.h"

#include "camera/frame_buffer.h"
#include "base/thread_name.h"

#include <wx/string.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace {

// Rows are narrow English texts; the library's words after them are UTF-8 (Aravis's are), and
// anything else is read in the locale's encoding as before.
std::wstring wide(const std::string& text) {
    wxString converted = wxString::FromUTF8(text.c_str());
    if (converted.empty() && !text.empty()) converted = wxString(text.c_str());
    return converted.ToStdWstring();
}

std::int64_t wall_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

// Throws `text`, with the library's words after it when it gave any.
void check(const camera_status& status, const char* text) {
    if (!status.ok()) throw std::runtime_error(status.describe(text));
}

template <typename T>
T buffer_item(STREAM_HANDLE stream, BUF_HANDLE buffer, int item) {
    T value{};
    std::uint32_t size = sizeof value;
    check(J_DataStream_GetBufferInfo(stream, buffer, item, &value, &size), "Ошибка чтения сведений о буфере");
    return value;
}

std::uint64_t stream_item(STREAM_HANDLE stream, int item) {
    std::uint64_t value = 0;
    std::uint32_t size = sizeof value;
    check(J_DataStream_GetStreamInfo(stream, item, &value, &size), "Ошибка чтения сведений о потоке");
    return value;
}

}  // namespace

std::wstring grab_stats_text(std::uint64_t delivered, std::uint64_t lost, std::uint64_t awaiting, std::uint64_t corrupt,
                             std::uint64_t rate) {
    return L"delivered: " + std::to_wstring(delivered) + L" lost: " + std::to_wstring(lost) + L" await: " +
           std::to_wstring(awaiting) + L" corrupt: " + std::to_wstring(corrupt) + L" fps: " + std::to_wstring(rate);
}

std::wstring new_frame_text(std::uint64_t timestamp, std::uint32_t missing_packets, std::uint64_t queued_buffers) {
    return L"timestamp: " + std::to_wstring(timestamp) + L" missing packets: " + std::to_wstring(missing_packets) +
           L" queued buffers: " + std::to_wstring(queued_buffers);
}

std::uint64_t grab_rate(std::uint64_t delivered, std::int64_t start_seconds, std::int64_t now_seconds) {
    const std::int64_t elapsed = now_seconds - start_seconds;
    return elapsed > 0 ? delivered / static_cast<std::uint64_t>(elapsed) : 0;
}

capture_thread::capture_thread(event_sink_ptr sink, capture_config config, CAM_HANDLE camera, frame_buffer* frame,
                               seconds_clock clock, recording_queue* queue)
    : sink_(std::move(sink)),
      camera_(camera),
      frame_(frame),
      queue_(queue),
      clock_(clock ? std::move(clock) : wall_seconds),
      rotate_(config.rotate180) {}

capture_thread::~capture_thread() {
    request_exit();
    join();
}

void capture_thread::start() {
    // Priority stays normal: on Linux raising it needs privileges the program does not have,
    // and the loop's work per frame is one copy.
    thread_ = std::thread([this] { result_ = run(); });
}

void capture_thread::request_exit() {
    std::lock_guard<std::mutex> lock(exit_mutex_);
    exit_requested_ = true;
    if (condition_) J_Event_ExitCondition(condition_);
}

int capture_thread::join() {
    if (thread_.joinable()) thread_.join();
    return result_;
}

int capture_thread::run() {
    name_this_thread("qm-capture");
    try {
        set_up();
        grab_loop();
        release(true);
        return 0;
    } catch (const std::exception& e) {
        post_log_error(sink_, wide(e.what()));
    } catch (...) {
        post_log_error(sink_, L"Неизвестная ошибка в потоке захвата");
    }
    release(false);
    return -1;
}

void capture_thread::set_up() {
    std::uint32_t streams = 0;
    check(J_Camera_GetNumOfDataStreams(camera_, &streams), "Не удалось получить число потоков камеры");
    if (camera_status st = J_Camera_CreateDataStream(camera_, 0, &stream_); !st.ok()) {
        stream_ = nullptr;
        throw std::runtime_error(st.describe("Ошибка создания потока данных"));
    }
    std::uint64_t param = 0;
    check(J_DataStream_SetParam(stream_, STREAM_PARAM_DRIVER_TUNING, &param, sizeof param),
          "Ошибка установки параметра потока");

    block_size_ = static_cast<std::uint32_t>(frame_byte_length(*frame_));
    for (int i = 0; i < buffer_count; ++i) {
        auto block = std::make_unique<std::uint8_t[]>(block_size_ ? block_size_ : 1);
        BUF_HANDLE handle = nullptr;
        check(J_DataStream_AnnounceBuffer(stream_, block.get(), block_size_, nullptr, &handle),
              "Ошибка регистрации буфера");
        if (camera_status st = J_DataStream_QueueBuffer(stream_, handle); !st.ok()) {
            // Announced but not recorded: revoke it here so the block is never written after free.
            J_DataStream_RevokeBuffer(stream_, handle, nullptr, nullptr);
            throw std::runtime_error(st.describe("Ошибка постановки буфера в очередь"));
        }
        if (buffer_map_.count(handle))
            unrecorded_blocks_.push_back(std::move(block));
        else
            buffer_map_.emplace(handle, std::move(block));
    }

    HANDLE condition = nullptr;
    check(J_Event_CreateCondition(camera_, &condition), "Ошибка создания условия ожидания");
    {
        std::lock_guard<std::mutex> lock(exit_mutex_);
        condition_ = condition;
        // A stop asked for during set-up ends the first wait.
        if (exit_requested_) J_Event_ExitCondition(condition_);
    }
    if (camera_status st = J_DataStream_RegisterEvent(stream_, EVENT_NEW_BUFFER, condition_, &event_); !st.ok()) {
        event_ = nullptr;
        throw std::runtime_error(st.describe("Ошибка регистрации события"));
    }
    check(J_DataStream_StartAcquisition(stream_, ACQ_START_NEXT_IMAGE, ACQ_UNLIMITED), "error start acquisition");
    stream_started_ = true;
    start_time_ = clock_();
    check(J_Camera_ExecuteCommand(camera_, "AcquisitionStart"), "Не удалось запустить съёмку.");
}

void capture_thread::grab_loop() {
    std::uint64_t frames = 0;
    for (;;) {
        std::uint32_t result = 0;
        if (camera_status st = J_Event_WaitForCondition(condition_, wait_timeout_ms, &result); !st.ok()) {
            post_log_error(sink_, wide(st.describe("Ошибка ожидания события камеры")));
            return;
        }
        switch (result) {
        case J_COND_WAIT_SIGNAL:
            handle_frame(frames);
            post_stats();
            break;
        case J_COND_WAIT_TIMEOUT: post_stats(); break;
        case J_COND_WAIT_EXIT: post_log_info(sink_, L"Ожидание кадров завершено"); return;
        case J_COND_WAIT_ERROR: post_log_error(sink_, L"Ошибка ожидания кадров"); return;
        default: post_log_error(sink_, L"Неизвестная ошибка в цикле захвата"); return;
        }
    }
}

void capture_thread::handle_frame(std::uint64_t& frames) {
    std::memset(new_buffer_data_, 0, sizeof new_buffer_data_);
    std::uint32_t size = sizeof new_buffer_data_;
    // Without the event's data there is no buffer to read: the run ends as after any
    // unreadable frame.
    check(J_Event_GetData(event_, new_buffer_data_, &size), "Ошибка чтения данных события");
    BUF_HANDLE buffer = nullptr;
    std::memcpy(&buffer, new_buffer_data_, sizeof buffer);

    J_tIMAGE_INFO info{};
    info.pImageBuffer = reinterpret_cast<std::uint8_t*>(
        static_cast<std::uintptr_t>(buffer_item<std::uint64_t>(stream_, buffer, BUFFER_INFO_BASE)));
    info.iImageSize = buffer_item<std::uint32_t>(stream_, buffer, BUFFER_INFO_SIZE);
    info.iSizeX = buffer_item<std::uint32_t>(stream_, buffer, BUFFER_INFO_WIDTH);
    info.iSizeY = buffer_item<std::uint32_t>(stream_, buffer, BUFFER_INFO_HEIGHT);
    info.iPixelType = static_cast<std::uint32_t>(buffer_item<std::uint64_t>(stream_, buffer, BUFFER_INFO_PIXELTYPE));
    info.iTimeStamp = buffer_item<std::uint64_t>(stream_, buffer, BUFFER_INFO_TIMESTAMP);
    info.iMissingPackets = buffer_item<std::uint32_t>(stream_, buffer, BUFFER_INFO_NUM_PACKETS_MISSING);
    info.iQueuedBuffers = buffer_item<std::uint64_t>(stream_, buffer, BUFFER_INFO_NUMBER_OF_QUEUED);
    info.iOffsetX = buffer_item<std::uint32_t>(stream_, buffer, BUFFER_INFO_XOFFSET);
    info.iOffsetY = buffer_item<std::uint32_t>(stream_, buffer, BUFFER_INFO_YOFFSET);
    info.iPaddingX = buffer_item<std::uint32_t>(stream_, buffer, BUFFER_INFO_XPADDING);
    info.iBlockId = buffer_item<std::uint64_t>(stream_, buffer, BUFFER_INFO_BLOCKID);
    info.iAnnouncedBuffers = buffer_count;
    info.iImageStatus = J_IMAGE_STATUS_DELIVERED;
    // Neither the rotation nor the copy may reach past the block announced for this buffer,
    // whatever size the SDK reports.
    info.iImageSize = static_cast<std::uint32_t>(readable_bytes(buffer, info));

    // A frame too short for its geometry is refused by the rotation untouched and copied as it
    // came: one row per such frame would flood the log.
    if (rotate_) J_Image_Rotate(&info, J_ROTATE_180);
    ++frames;
    {
        std::unique_lock<std::shared_mutex> lock(frame_->lock);
        const std::size_t n = std::min<std::size_t>(frame_->image.size(), info.iImageSize);
        if (n) std::memcpy(frame_->image.data(), info.pImageBuffer, n);
        // A short frame must not leave the end of the previous one behind it.
        if (n < frame_->image.size()) std::memset(frame_->image.data() + n, 0, frame_->image.size() - n);
        frame_->timestamp = info.iTimeStamp;
    }
    // The recording's own copy: taken from the camera's block, not the live buffer, so the live
    // view's readers never hold it up. Dropped (and counted) when the queue is full.
    if (queue_)
        queue_->push_frame(info.pImageBuffer, info.iImageSize,
                           frame_geometry{frame_->width, frame_->height, frame_->pixel_format, frame_->bits_per_pixel},
                           info.iTimeStamp);
    copied_.fetch_add(1, std::memory_order_relaxed);
    if (frames % new_frame_interval == 0)
        post_message(sink_,
                     new_frame_message{new_frame_text(info.iTimeStamp, info.iMissingPackets, info.iQueuedBuffers)});
    // A buffer that cannot go back is one fewer for the camera to fill; the capture goes on
    // with the others, and the row says why the stream runs dry should they all be lost.
    if (camera_status st = J_DataStream_QueueBuffer(stream_, buffer); !st.ok())
        post_log_error(sink_, wide(st.describe("Ошибка постановки буфера в очередь")));
}

std::size_t capture_thread::readable_bytes(BUF_HANDLE buffer, const J_tIMAGE_INFO& info) const {
    auto it = buffer_map_.find(buffer);
    if (it == buffer_map_.end() || !info.pImageBuffer) return 0;
    const auto begin = reinterpret_cast<std::uintptr_t>(it->second.get());
    const auto at = reinterpret_cast<std::uintptr_t>(info.pImageBuffer);
    if (at < begin || at >= begin + block_size_) return 0;
    return std::min<std::size_t>(info.iImageSize, begin + block_size_ - at);
}

void capture_thread::post_stats() {
    const std::uint64_t delivered = stream_item(stream_, STREAM_INFO_CMD_NUMBER_OF_FRAMES_DELIVERED);
    const std::uint64_t lost = stream_item(stream_, STREAM_INFO_CMD_NUMBER_OF_FRAMES_LOST);
    const std::uint64_t awaiting = stream_item(stream_, STREAM_INFO_CMD_NUMBER_OF_FRAMES_AWAIT_DELIVERY);
    const std::uint64_t corrupt = stream_item(stream_, STREAM_INFO_CMD_NUMBER_OF_FRAMES_CORRUPT_ON_DELIEVRY);
    post_message(sink_, make_grab_stats(grab_stats_text(delivered, lost, awaiting, corrupt,
                                                        grab_rate(delivered, start_time_, clock_())),
                                        delivered, lost, corrupt));
}

// Best effort on every way out: a call that fails here has nothing left to undo, and the
// calls after it must still run, so their statuses are not looked at.
void capture_thread::release(bool orderly) {
    if (orderly || stream_started_) J_Camera_ExecuteCommand(camera_, "AcquisitionStop");
    if (event_) {
        J_DataStream_UnRegisterEvent(stream_, EVENT_NEW_BUFFER);
        J_Event_Close(event_);
        event_ = nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(exit_mutex_);
        if (condition_) J_Event_CloseCondition(condition_);
        condition_ = nullptr;
    }
    if (stream_started_) J_DataStream_StopAcquisition(stream_, ACQ_STOP_FLAG_KILL);
    stream_started_ = false;
    if (stream_) {
        J_DataStream_FlushQueue(stream_, ACQ_QUEUE_INPUT_TO_OUTPUT);
        J_DataStream_FlushQueue(stream_, ACQ_QUEUE_OUTPUT_DISCARD);
        for (auto& [handle, block] : buffer_map_) {
            J_DataStream_RevokeBuffer(stream_, handle, nullptr, nullptr);
            block.reset();
        }
        J_DataStream_Close(stream_);
        stream_ = nullptr;
    }
    buffer_map_.clear();
    unrecorded_blocks_.clear();
}
