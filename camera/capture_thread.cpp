#include "camera/capture_thread.h"

#include "camera/frame_buffer.h"
#include "settings/settings_keys.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace {

std::int64_t wall_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

template <typename T>
T buffer_item(STREAM_HANDLE stream, BUF_HANDLE buffer, int item) {
    T value{};
    std::uint32_t size = sizeof value;
    if (J_DataStream_GetBufferInfo(stream, buffer, item, &value, &size) != J_ST_SUCCESS)
        throw std::runtime_error("Error getting buffer info");
    return value;
}

std::uint64_t stream_item(STREAM_HANDLE stream, int item) {
    std::uint64_t value = 0;
    std::uint32_t size = sizeof value;
    if (J_DataStream_GetStreamInfo(stream, item, &value, &size) != J_ST_SUCCESS)
        throw std::runtime_error("Error getting stream info");
    return value;
}

}  // namespace

std::wstring grab_stats_text(std::uint64_t delivered, std::uint64_t lost, std::uint64_t awaiting,
                             std::uint64_t corrupt, std::uint64_t rate) {
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

capture_thread::capture_thread(event_sink_ptr owner, settings_ptr settings, CAM_HANDLE camera, frame_buffer* frame,
                               seconds_clock clock)
    : owner_(std::move(owner)), camera_(camera), frame_(frame), clock_(clock ? std::move(clock) : wall_seconds) {
    if (settings) rotate_ = settings->read_bool(settings_keys::rotate180, settings_defaults::rotate180);
}

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
    try {
        set_up();
        grab_loop();
        release(true);
        return 0;
    } catch (const std::exception& e) {
        post_log_error(owner_, wxString(e.what()).ToStdWstring());
    } catch (...) {
        post_log_error(owner_, L"Unknown exception in capture thread");
    }
    release(false);
    return -1;
}

void capture_thread::set_up() {
    std::uint32_t streams = 0;
    if (J_Camera_GetNumOfDataStreams(camera_, &streams) != J_ST_SUCCESS)
        throw std::runtime_error("Error getting number of streams");
    if (J_Camera_CreateDataStream(camera_, 0, &stream_) != J_ST_SUCCESS) {
        stream_ = nullptr;
        throw std::runtime_error("Error creating data stream");
    }
    std::uint64_t param = 0;
    if (J_DataStream_SetParam(stream_, 3, &param, sizeof param) != J_ST_SUCCESS)
        throw std::runtime_error("Error setting stream parameter");

    block_size_ = static_cast<std::uint32_t>(frame_byte_length(*frame_));
    for (int i = 0; i < buffer_count; ++i) {
        auto block = std::make_unique<std::uint8_t[]>(block_size_ ? block_size_ : 1);
        BUF_HANDLE handle = nullptr;
        if (J_DataStream_AnnounceBuffer(stream_, block.get(), block_size_, nullptr, &handle) != J_ST_SUCCESS)
            throw std::runtime_error("Error announce buffer");
        if (J_DataStream_QueueBuffer(stream_, handle) != J_ST_SUCCESS) {
            // Announced but not recorded: revoke it here so the block is never written after free.
            J_DataStream_RevokeBuffer(stream_, handle, nullptr, nullptr);
            throw std::runtime_error("Error queue buffer");
        }
        if (buffer_map_.count(handle))
            unrecorded_blocks_.push_back(std::move(block));
        else
            buffer_map_.emplace(handle, std::move(block));
    }

    HANDLE condition = nullptr;
    if (J_Event_CreateCondition(&condition) != J_ST_SUCCESS) throw std::runtime_error("Error create condition");
    {
        std::lock_guard<std::mutex> lock(exit_mutex_);
        condition_ = condition;
        // A stop asked for during set-up ends the first wait.
        if (exit_requested_) J_Event_ExitCondition(condition_);
    }
    if (J_DataStream_RegisterEvent(stream_, EVENT_NEW_BUFFER, condition_, &event_) != J_ST_SUCCESS) {
        event_ = nullptr;
        throw std::runtime_error("Error register event");
    }
    if (J_DataStream_StartAcquisition(stream_, ACQ_START_NEXT_IMAGE, ACQ_UNLIMITED) != J_ST_SUCCESS)
        throw std::runtime_error("error start acquisition");
    stream_started_ = true;
    start_time_ = clock_();
    if (J_Camera_ExecuteCommand(camera_, "AcquisitionStart") != J_ST_SUCCESS)
        throw std::runtime_error("Error starting acquisition.");
}

void capture_thread::grab_loop() {
    std::uint64_t frames = 0;
    for (;;) {
        std::uint32_t result = 0;
        if (J_Event_WaitForCondition(condition_, 1000, &result) != J_ST_SUCCESS) {
            post_log_error(owner_, L"Error waiting for event");
            return;
        }
        switch (result) {
            case J_COND_WAIT_SIGNAL:
                handle_frame(frames);
                post_stats();
                break;
            case J_COND_WAIT_TIMEOUT:
                post_stats();
                break;
            case J_COND_WAIT_EXIT:
                post_log_info(owner_, L"Condition wait exit");
                return;
            case J_COND_WAIT_ERROR:
                post_log_error(owner_, L"Condition wait error");
                return;
            default:
                post_log_error(owner_, L"Unknown error in capture thread loop");
                return;
        }
    }
}

void capture_thread::handle_frame(std::uint64_t& frames) {
    std::memset(new_buffer_data_, 0, sizeof new_buffer_data_);
    std::uint32_t size = sizeof new_buffer_data_;
    J_Event_GetData(event_, new_buffer_data_, &size);
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
    info.iImageStatus = 2;
    // Neither the rotation nor the copy may reach past the block announced for this buffer,
    // whatever size the SDK reports.
    info.iImageSize = static_cast<std::uint32_t>(readable_bytes(buffer, info));

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
    copied_.fetch_add(1, std::memory_order_relaxed);
    if (frames % 10 == 0)
        post_message(owner_, new_frame_message{new_frame_text(info.iTimeStamp, info.iMissingPackets, info.iQueuedBuffers)});
    J_DataStream_QueueBuffer(stream_, buffer);
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
    post_message(owner_, make_grab_stats(grab_stats_text(delivered, lost, awaiting, corrupt,
                                                         grab_rate(delivered, start_time_, clock_())),
                                         delivered, lost, corrupt));
}

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
