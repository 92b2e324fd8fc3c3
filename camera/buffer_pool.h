#pragma once
// The buffers announced to one data stream, kept the way Aravis keeps its own: an input
// queue of buffers waiting to be filled, an output queue of whole frames waiting to be handed
// out by get-data, and a state per buffer. Both camera backends keep their streams' buffers
// here; a backend fills a buffer taken from the input queue (or, for Aravis, learns that
// Aravis filled it) and reports how it came back.
//
// A buffer that comes back whole goes to the output queue and signals the listening wait
// condition once; one that comes back corrupt or lost is counted and put back into the input
// queue at once, so only whole frames ever reach the caller.
//
// The optional `on_input` hook runs, under the pool's lock, every time a buffer enters the
// input queue (Aravis pushes it into its stream there). Once the input is stopped no buffer
// enters it again: the caller may then free the blocks after revoking them.
//
// Thread safety: every member may be called from any thread; the pool's lock is never held
// while the listener is waited on.
#include "camera/jai_sdk.h"
#include "camera/wait_condition.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

struct pool_buffer {
    enum class state {
        held,    // with the caller (announced, handed out, or flushed back)
        input,   // in the input queue, waiting to be filled
        output,  // a whole frame in the output queue
    };
    void* block = nullptr;
    std::uint32_t size = 0;
    void* private_data = nullptr;
    void* native = nullptr;  // the backend's own object for this buffer (an ArvBuffer)
    state where = state::held;
    std::uint64_t frame = 0;  // set by the backend when the buffer is filled
};

class buffer_pool {
public:
    enum class outcome { whole, corrupt, lost };

    explicit buffer_pool(std::function<void(pool_buffer&)> on_input = {});

    // A new buffer over the caller's block; the handle names it until revoked. `make_native`,
    // when given, makes the backend's own object for it from the new handle.
    BUF_HANDLE announce(void* block, std::uint32_t size, void* private_data,
                        const std::function<void*(BUF_HANDLE)>& make_native = {});
    // Puts a held buffer into the input queue. J_ST_INVALID_HANDLE for an unknown buffer,
    // J_ST_NOT_AVAILABLE once the input was stopped; success (and nothing else) for a buffer
    // already queued.
    J_STATUS_TYPE queue(BUF_HANDLE buffer);
    // The oldest buffer of the input queue, to be filled and then completed; nothing when
    // the queue is empty. It stays in the input state until completed.
    std::optional<BUF_HANDLE> next_input();
    // How a buffer taken from the input queue came back (see above). Unknown buffers and
    // buffers not in the input queue are ignored; returns whether the buffer was known.
    bool complete(BUF_HANDLE buffer, outcome how, std::uint64_t frame = 0);
    // The oldest whole frame, now held by the caller; nothing when none is waiting.
    std::optional<BUF_HANDLE> take_output();
    // ACQ_QUEUE_INPUT_TO_OUTPUT moves every queued buffer to the output queue (as the stream
    // stopped, they will not be filled); ACQ_QUEUE_OUTPUT_DISCARD returns every output buffer
    // to the caller.
    void flush(int mode);
    // Forgets the buffer; its record as it was, nothing when unknown.
    std::optional<pool_buffer> revoke(BUF_HANDLE buffer);
    // Stops the input for good; the buffers still queued are held by the caller again.
    void stop_input();
    bool input_stopped() const;

    // Calls `f` with the buffer under the pool's lock; false when unknown.
    bool with_buffer(BUF_HANDLE buffer, const std::function<void(const pool_buffer&)>& f) const;
    // Every buffer still announced, and forgets them all.
    std::vector<pool_buffer> take_all();

    // The wait condition signalled once per whole frame; null for none.
    void set_listener(std::shared_ptr<wait_condition> listener);
    std::shared_ptr<wait_condition> listener() const;

    std::size_t announced() const;
    std::size_t queued() const;
    std::size_t waiting() const;  // whole frames in the output queue
    std::uint64_t delivered() const;
    std::uint64_t corrupt() const;
    std::uint64_t lost() const;

private:
    std::function<void(pool_buffer&)> on_input_;
    mutable std::mutex mutex_;  // guards every member below
    std::map<BUF_HANDLE, pool_buffer> buffers_;
    std::deque<BUF_HANDLE> input_;
    std::deque<BUF_HANDLE> output_;
    std::shared_ptr<wait_condition> listener_;
    bool input_stopped_ = false;
    std::uint64_t delivered_ = 0;
    std::uint64_t corrupt_ = 0;
    std::uint64_t lost_ = 0;
};

// The new-buffer event of a stream: the stream's pool (weak, the stream may close first) and
// the condition it signals (shared, a close of the condition's handle frees nothing under a
// waiter).
struct stream_event {
    std::weak_ptr<buffer_pool> pool;
    std::shared_ptr<wait_condition> condition;
};

// Get-data for both backends: writes the handle of the oldest whole frame into the first
// bytes of `destination` (the rest zero).
J_STATUS_TYPE hand_out_frame(const stream_event& event, void* destination, std::uint32_t* size);
