#include "app/source_retirer.h"
#include "base/thread_name.h"
#include "tests/app/fake_frame_source.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <vector>

namespace {

// Notes where and in which order the sources went.
struct journal {
    std::mutex mutex;
    std::vector<std::string> entries;
    void add(std::string entry) {
        std::lock_guard<std::mutex> lock(mutex);
        entries.push_back(std::move(entry));
    }
};

class noted_source : public test_support::fake_frame_source {
public:
    noted_source(journal& j, std::string name, std::shared_future<void> go = {})
        : fake_frame_source(true), journal_(j), name_(std::move(name)), go_(std::move(go)) {}
    ~noted_source() override {
        if (go_.valid()) go_.wait();
        journal_.add(name_ + " on " + this_thread_name());
    }

private:
    journal& journal_;
    std::string name_;
    std::shared_future<void> go_;
};

TEST(source_retirer, destroys_in_order_on_its_thread_says_each_run_and_finish_leaves_nothing_behind) {
    journal j;
    std::promise<void> go;
    source_retirer retirer([&](std::uint64_t run) { j.add("retired " + std::to_string(run)); });
    retirer.retire(std::make_shared<noted_source>(j, "first", go.get_future().share()), 1);
    retirer.retire(std::make_shared<noted_source>(j, "second"), 2);
    retirer.retire(nullptr, 3);  // nothing to do, nothing said
    EXPECT_TRUE(retirer.busy());
    EXPECT_TRUE(j.entries.empty()) << "the first waits for its disk";
    go.set_value();
    retirer.finish();  // waits for both
    EXPECT_FALSE(retirer.busy());
    EXPECT_EQ(j.entries,
              (std::vector<std::string>{"first on qm-retire", "retired 1", "second on qm-retire", "retired 2"}));

    // After finish nobody is left to hand a source to: it goes at once, here.
    j.entries.clear();
    retirer.retire(std::make_shared<noted_source>(j, "late"), 4);
    EXPECT_EQ(j.entries, (std::vector<std::string>{"late on " + this_thread_name(), "retired 4"}));
}

}  // namespace
