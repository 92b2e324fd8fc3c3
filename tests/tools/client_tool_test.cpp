// quillmar-client run as a program against the three services on 127.0.0.1.
#include <gtest/gtest.h>

#include <filesystem>

#include "database/database_registry.h"
#include "net/discovery_service.h"
#include "net/img_service.h"
#include "net/png_pipeline.h"
#include "net/rc_service.h"
#include "settings/settings_keys.h"
#include "tests/net/net_test_util.h"
#include "tests/tools/tool_run.h"

namespace fs = std::filesystem;

namespace {

using tool_test::result;
using tool_test::slurp;

class client_tool : public ::testing::Test {
protected:
    test_support::temp_dir dir{"qm-client"};
    settings_ptr settings = net_test::scratch_settings(dir);
    std::shared_ptr<test_support::recording_sink> sink = std::make_shared<test_support::recording_sink>();

    void SetUp() override {
        settings->write_text(settings_keys::data_service_port, L"0");
        settings->write_text(settings_keys::rc_service_port, L"0");
    }
    result run(const std::vector<std::string>& args) {
        return tool_test::run_tool("quillmar-client", dir.path(), args);
    }
};

TEST_F(client_tool, frame_writes_the_png_and_says_by_its_status_whether_an_image_came) {
    database_registry registry;
    const auto db = dir.path() / "ab";
    registry.add(net_test::record(db, "A : B", {{100, 1}}), db.wstring());
    std::shared_ptr<const png_pipeline> pipeline = make_opencv_png_pipeline();
    const auto expected = pipeline->from_stored(net_test::stored_at(db, 100));
    img_service service(sink, settings, {"127.0.0.1", pipeline, &registry, 16});
    service.start();
    const std::string port = std::to_string(service.port());
    const auto png = (dir.path() / "f.png").string();

    auto r = run({"frame", "--host", "127.0.0.1", "--port", port, "--session", "A", "B", "--count", "100", "-o", png});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(slurp(png), std::string(expected.begin(), expected.end()));
    r = run({"frame", "--host", "127.0.0.1", "--port", port, "--count", "1", "-o", png});  // nothing recorded
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "no image (the answer was 4 zero bytes)\n");
}

TEST_F(client_tool, rc_sends_one_command_and_waits_for_its_acknowledgement) {
    rc_service service(sink, settings, rc_service::options{"127.0.0.1"});
    service.start();
    const std::string port = std::to_string(service.port());
    EXPECT_EQ(run({"rc", "--host", "127.0.0.1", "--port", port, "session", "A", "B"}).code, 0);
    EXPECT_EQ(run({"rc", "--host", "127.0.0.1", "--port", port, "code", "7"}).out, "acknowledged\n");
    EXPECT_EQ(run({"rc", "--host", "127.0.0.1", "--port", port, "start"}).code, 0);
    std::vector<std::pair<int, std::wstring>> got;
    for (const auto& m : sink->messages())
        if (const auto* c = std::get_if<rc_command_message>(&m)) got.emplace_back(c->code, c->text);
    EXPECT_EQ(got, (std::vector<std::pair<int, std::wstring>>{{3, L"A : B"}, {7, L""}, {1, L""}}));
}

TEST_F(client_tool, discover_prints_each_answer_with_its_sender) {
    discovery_service service(sink, settings, 0, "127.0.0.1");
    service.start();
    const std::string port = std::to_string(service.port());
    auto r = run({"discover", "--to", "127.0.0.1", "--port", port, "--timeout", "0.5"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "127.0.0.1:" + port + " quillmar_left\n");
    r = run({"discover", "--to", "127.0.0.1", "--port", port, "--service", "quillmar_right", "--timeout", "0.3"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
}

TEST_F(client_tool, bad_arguments_and_refused_connections_give_a_message_and_status_2) {
    const std::string closed = std::to_string(net_test::free_port());
    struct row {
        std::vector<std::string> args;
        std::string message;
    };
    const row rows[] = {
        {{}, "quillmar-client: missing command (discover, frame or rc)\n"},
        {{"fetch"}, "quillmar-client: unknown command \"fetch\"\n"},
        {{"frame", "--host", "127.0.0.1", "-o", "x.png"}, "quillmar-client: --count is required\n"},
        {{"frame", "--host", "h", "--count", "-1", "-o", "x"}, "quillmar-client: --count: not a number: \"-1\"\n"},
        {{"frame", "--host", "h", "--session", std::string(20, 'a'), "b", "--count", "1", "-o", "x"},
         "quillmar-client: the first part is longer than 19 bytes\n"},
        {{"rc", "start"}, "quillmar-client: --host is required\n"},
        {{"rc", "--host", "h", "jump"}, "quillmar-client: unknown rc command \"jump\"\n"},
        {{"rc", "--host", "h", "--port", "70000", "stop"}, "quillmar-client: --port: out of range: 70000\n"},
        {{"discover", "--timeout", "soon"}, "quillmar-client: --timeout: not a number of seconds: \"soon\"\n"},
    };
    for (const auto& r : rows) {
        const auto got = run(r.args);
        EXPECT_EQ(got.code, 2);
        EXPECT_EQ(got.err.substr(0, got.err.find("usage:")), r.message);
        EXPECT_NE(got.err.find("usage: quillmar-client discover"), std::string::npos);
    }
    auto refused = run({"rc", "--host", "127.0.0.1", "--port", closed, "stop"});
    EXPECT_EQ(refused.code, 2);
    EXPECT_EQ(refused.err, "quillmar-client: connect to 127.0.0.1:" + closed + ": Connection refused\n");
    const auto help = run({"frame", "--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_EQ(help.out.rfind("usage: quillmar-client", 0), 0u);
}

}  // namespace
