#pragma once
// A single-node object store with an S3 front on loopback (swift-fixture.sh next to this
// file), for the depot tests. The owner starts it, may stop and start it again (its objects
// kept), and the destructor stops every process it started. Start and stop are bounded by
// timeout(1). Not thread-safe: one test thread drives it.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/temp_home.h"

class swift_store {
public:
    // dir: a scratch folder the store lives in; the proxy port is picked from the process id.
    explicit swift_store(std::string dir);
    ~swift_store();
    swift_store(const swift_store&) = delete;
    swift_store& operator=(const swift_store&) = delete;

    bool start();  // true when the proxy answers and the bucket is there
    void stop();
    std::string endpoint() const;
    int port() const { return port_; }
    const std::string& dir() const { return dir_; }
    static constexpr const char* access_key = "depot:uploader";
    static constexpr const char* secret = "depot-secret";
    static constexpr const char* bucket = "recordings";

private:
    std::string dir_;
    int port_;
};

// A test suite that shares one store: started before its first test, stopped after its last
// (under ctest every test runs in a process of its own, so each has a store of its own).
// Suite: the deriving class, so each suite keeps its own store.
template <class Suite>
class store_suite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<test_support::temp_dir>("qm-swift");
        store_ = std::make_unique<swift_store>(dir_->str());
        started_ = store_->start();
    }
    static void TearDownTestSuite() {
        store_.reset();  // stops its processes before their folder goes
        dir_.reset();
    }
    void SetUp() override { ASSERT_TRUE(started_) << "the loopback object store did not start"; }

    static inline std::unique_ptr<test_support::temp_dir> dir_;
    static inline std::unique_ptr<swift_store> store_;
    static inline bool started_ = false;
};
