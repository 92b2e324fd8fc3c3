#include "app/thread_events.h"
#include "app/window_event_sink.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include <wx/app.h>

namespace {

struct received {
    wxEventType type;
    wxString text;
    int number;
};

class receiver : public wxEvtHandler {
public:
    receiver() {
        for (const auto& t : {EVT_NEW_FRAME, EVT_GRAB_STATS, EVT_RECORD_STATUS, EVT_STATUS_TEXT, EVT_LOG_ERROR,
                              EVT_LOG_INFO, EVT_RC_COMMAND, EVT_DATABASE_INFO})
            Bind(t, [this](wxThreadEvent& e) {
                events.push_back({e.GetEventType(), e.GetString(), e.GetInt()});
                payloads.push_back(e.GetPayload<thread_message>());
            });
    }
    std::vector<received> events;
    std::vector<thread_message> payloads;
};

TEST(window_event_sink, each_kind_becomes_its_own_event_type_with_text_number_and_payload) {
    receiver target;
    auto sink = std::make_shared<window_event_sink>(&target);
    event_sink_ptr as_sink = sink;
    post_message(as_sink, status_text_message{3, L"Диск"});
    ldb_info summary;
    summary.session = L"A : 1";
    post_message(as_sink, database_info_message{L"/data/db", summary, 2});
    post_log_error(as_sink, L"err");
    wxTheApp->ProcessPendingEvents();
    ASSERT_EQ(target.events.size(), 3u);
    EXPECT_EQ(target.events[0].type, EVT_STATUS_TEXT);
    EXPECT_EQ(target.events[0].text, L"Диск");
    EXPECT_EQ(target.events[0].number, 3);
    EXPECT_EQ(target.events[1].type, EVT_DATABASE_INFO);
    EXPECT_EQ(target.events[1].number, 2);  // the scan generation
    EXPECT_EQ(std::get<database_info_message>(target.payloads[1]).summary.session, L"A : 1");
    EXPECT_EQ(std::get<status_text_message>(target.payloads[0]).field, 3);
    EXPECT_EQ(target.events[2].type, EVT_LOG_ERROR);
    EXPECT_EQ(event_type_of(thread_event::new_frame), EVT_NEW_FRAME);
    EXPECT_EQ(event_type_of(thread_event::rc_command), EVT_RC_COMMAND);
}

TEST(window_event_sink, a_detached_sink_drops_messages_from_any_thread) {
    auto target = std::make_unique<receiver>();
    auto sink = std::make_shared<window_event_sink>(target.get());
    sink->detach();
    EXPECT_FALSE(sink->attached());
    target.reset();  // the window is gone; a late worker must not touch it
    std::thread worker([sink] {
        for (int i = 0; i < 100; ++i) sink->post(log_info_message{L"late"});
    });
    worker.join();
    wxTheApp->ProcessPendingEvents();
    SUCCEED();
}

TEST(window_event_sink, posts_from_one_worker_arrive_in_order) {
    receiver target;
    auto sink = std::make_shared<window_event_sink>(&target);
    std::thread worker([sink] {
        for (int i = 0; i < 200; ++i) post_log_info(sink, std::to_wstring(i));
    });
    worker.join();
    wxTheApp->ProcessPendingEvents();
    ASSERT_EQ(target.events.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(target.events[i].text, std::to_wstring(i));
}

}  // namespace
