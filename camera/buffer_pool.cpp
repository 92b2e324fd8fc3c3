#include "camera/buffer_pool.h"

#include "camera/handle_table.h"

#include <algorithm>
#include <cstring>

buffer_pool::buffer_pool(std::function<void(pool_buffer&)> on_input) : on_input_(std::move(on_input)) {}

BUF_HANDLE buffer_pool::announce(void* block, std::uint32_t size, void* private_data,
                                 const std::function<void*(BUF_HANDLE)>& make_native) {
    BUF_HANDLE handle = next_sdk_handle();
    void* native = make_native ? make_native(handle) : nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    buffers_.emplace(handle, pool_buffer{block, size, private_data, native, pool_buffer::state::held, 0});
    return handle;
}

J_STATUS_TYPE buffer_pool::queue(BUF_HANDLE buffer) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = buffers_.find(buffer);
    if (it == buffers_.end()) return J_ST_INVALID_HANDLE;
    pool_buffer& b = it->second;
    if (b.where == pool_buffer::state::input) return J_ST_SUCCESS;
    if (input_stopped_) return J_ST_NOT_AVAILABLE;
    if (b.where == pool_buffer::state::output) std::erase(output_, buffer);
    b.where = pool_buffer::state::input;
    input_.push_back(buffer);
    if (on_input_) on_input_(b);
    return J_ST_SUCCESS;
}

std::optional<BUF_HANDLE> buffer_pool::next_input() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (input_.empty()) return std::nullopt;
    return input_.front();
}

bool buffer_pool::complete(BUF_HANDLE buffer, outcome how, std::uint64_t frame) {
    std::shared_ptr<wait_condition> to_signal;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = buffers_.find(buffer);
        if (it == buffers_.end() || it->second.where != pool_buffer::state::input) return false;
        pool_buffer& b = it->second;
        std::erase(input_, buffer);
        b.frame = frame;
        if (how == outcome::whole) {
            ++delivered_;
            b.where = pool_buffer::state::output;
            output_.push_back(buffer);
            to_signal = listener_;
        } else {
            ++(how == outcome::corrupt ? corrupt_ : lost_);
            b.where = pool_buffer::state::held;
            if (!input_stopped_) {
                b.where = pool_buffer::state::input;
                input_.push_back(buffer);
                if (on_input_) on_input_(b);
            }
        }
    }
    if (to_signal) to_signal->signal();
    return true;
}

std::optional<BUF_HANDLE> buffer_pool::take_output() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (output_.empty()) return std::nullopt;
    BUF_HANDLE handle = output_.front();
    output_.pop_front();
    buffers_.at(handle).where = pool_buffer::state::held;
    return handle;
}

void buffer_pool::flush(int mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mode == ACQ_QUEUE_INPUT_TO_OUTPUT) {
        for (BUF_HANDLE h : input_) {
            buffers_.at(h).where = pool_buffer::state::output;
            output_.push_back(h);
        }
        input_.clear();
    } else {
        for (BUF_HANDLE h : output_) buffers_.at(h).where = pool_buffer::state::held;
        output_.clear();
    }
}

std::optional<pool_buffer> buffer_pool::revoke(BUF_HANDLE buffer) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = buffers_.find(buffer);
    if (it == buffers_.end()) return std::nullopt;
    pool_buffer b = it->second;
    std::erase(input_, buffer);
    std::erase(output_, buffer);
    buffers_.erase(it);
    return b;
}

void buffer_pool::stop_input() {
    std::lock_guard<std::mutex> lock(mutex_);
    input_stopped_ = true;
    for (BUF_HANDLE h : input_) buffers_.at(h).where = pool_buffer::state::held;
    input_.clear();
}

bool buffer_pool::input_stopped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return input_stopped_;
}

bool buffer_pool::with_buffer(BUF_HANDLE buffer, const std::function<void(const pool_buffer&)>& f) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = buffers_.find(buffer);
    if (it == buffers_.end()) return false;
    f(it->second);
    return true;
}

std::vector<pool_buffer> buffer_pool::take_all() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<pool_buffer> all;
    for (auto& [h, b] : buffers_) all.push_back(b);
    buffers_.clear();
    input_.clear();
    output_.clear();
    return all;
}

void buffer_pool::set_listener(std::shared_ptr<wait_condition> listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

std::shared_ptr<wait_condition> buffer_pool::listener() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return listener_;
}

std::size_t buffer_pool::announced() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return buffers_.size();
}

std::size_t buffer_pool::queued() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return input_.size();
}

std::size_t buffer_pool::waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_.size();
}

std::uint64_t buffer_pool::delivered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return delivered_;
}

std::uint64_t buffer_pool::corrupt() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return corrupt_;
}

std::uint64_t buffer_pool::lost() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lost_;
}

J_STATUS_TYPE hand_out_frame(const stream_event& event, void* destination, std::uint32_t* size) {
    if (!destination || !size || *size < sizeof(BUF_HANDLE)) return J_ST_INVALID_BUFFER_SIZE;
    auto pool = event.pool.lock();
    if (!pool) return J_ST_INVALID_HANDLE;
    const auto buffer = pool->take_output();
    if (!buffer) return J_ST_NOT_AVAILABLE;
    std::memset(destination, 0, *size);
    std::memcpy(destination, &*buffer, sizeof(BUF_HANDLE));
    return J_ST_SUCCESS;
}
