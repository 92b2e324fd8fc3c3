#pragma once
// A single-node object store with an S3 front on loopback (swift-fixture.sh next to this
// file), for the depot tests. The owner starts it, may stop and start it again (its objects
// kept), and the destructor stops every process it started. Start and stop are bounded by
// timeout(1). Not thread-safe: one test thread drives it.
#include <string>

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
