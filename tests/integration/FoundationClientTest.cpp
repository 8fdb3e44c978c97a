// The on-device runtime client against real child processes: small tools written by the test.
#include "server/FoundationClient.h"
#include "platform/linux/PosixProcessLauncher.h"
#include "runtime-tool/Protocol.h"
#include "tests/support/Files.h"
#include "tests/support/Waiting.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace ulvo {
namespace {

using namespace std::chrono_literals;

constexpr const char* reply = R"({"ok":true,"engine":"apple-foundation","text":" Ein Satz.\n"})";

class FoundationClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(root / "runtime");
        configure(R"("../bin/tool")");
    }

    std::filesystem::path runtime() const { return root / "runtime"; }

    // runtime-config.json naming the tool (a JSON value, or nothing for an absent key).
    void configure(const std::optional<std::string>& tool) {
        std::ofstream(runtime() / "runtime-config.json")
            << R"({"llamaServer":"llama-server","model":"models/m.gguf","modelAlias":"m","contextSize":4096,)"
            << R"("apiKey":"k")" << (tool ? R"(,"appleFoundationRuntime":)" + *tool : "") << "}";
    }

    // The tool as a shell script; the file "arguments" says that it ran.
    void tool(const std::string& body) {
        std::filesystem::create_directories(root / "bin");
        const std::filesystem::path path = root / "bin" / "tool";
        std::ofstream(path) << "#!/bin/sh\necho \"$@\" > '" << (root / "arguments").string() << "'\n"
                            << body << "\n";
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    }

    FoundationRuntimeClient client(std::chrono::milliseconds limit = FoundationRuntimeClient::toolTimeLimit) {
        return FoundationRuntimeClient({runtime(), launcher, [] { return std::string("de-AT"); }, limit, {}});
    }

    const test::ScratchFolder root;
    std::shared_ptr<ProcessLauncher> launcher = std::make_shared<PosixProcessLauncher>();
};

// The tool's own reading of the arguments gets the level, the language and the text, which may look
// like an option.
TEST_F(FoundationClientTest, AnswerIsTheReplysTextByteForByteForTheToolsRequest) {
    tool(std::string("printf '%s\\n' '") + reply + "'");
    EXPECT_EQ(client().foundationAnswer("text", 0), " Ein Satz.\n");
    const std::string text = "--first line\nsecond  line ";
    const auto request =
        ULVOFoundationRuntime::explainRequest(FoundationRuntimeClient::explainArguments(text, 0, "de-AT"));
    EXPECT_EQ(request.text, text);
    EXPECT_EQ(request.level, 0);
    EXPECT_EQ(request.language, "de-AT");
}

TEST_F(FoundationClientTest, NoToolMeansNoAnswer) {
    EXPECT_EQ(client().foundationAnswer("text", 60), std::nullopt) << "configured tool missing";
    tool(std::string("printf '%s' '") + reply + "'");
    std::filesystem::permissions(root / "bin" / "tool",
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(client().foundationAnswer("text", 60), std::nullopt) << "not executable";
    std::filesystem::permissions(root / "bin" / "tool", std::filesystem::perms::owner_all);
    ASSERT_EQ(client().foundationAnswer("text", 60), " Ein Satz.\n");

    std::filesystem::remove(root / "arguments");
    configure(std::nullopt);
    EXPECT_EQ(client().foundationAnswer("text", 60), std::nullopt) << "no tool configured";
    EXPECT_FALSE(std::filesystem::exists(root / "arguments")) << "nothing may run";
    std::ofstream(runtime() / "runtime-config.json") << "{ not json";
    EXPECT_EQ(client().foundationAnswer("text", 60), std::nullopt);
    EXPECT_EQ(FoundationRuntimeClient({std::nullopt, launcher, {}, 1s, {}}).foundationAnswer("text", 60),
              std::nullopt);
}

TEST_F(FoundationClientTest, RepliesThatAreNotAnAnswer) {
    for (const char* output : {R"({"ok":true,"text":"t"} trailing)", R"(["ok", true])",
                               R"({"ok":"true","text":"t"})", R"({"ok":true,"text":7})"}) {
        EXPECT_EQ(FoundationRuntimeClient::replyAnswer(output), std::nullopt) << output;
    }
    EXPECT_EQ(FoundationRuntimeClient::replyAnswer(R"({"ok":true,"text":""})"), "") << "an empty answer";
    tool(std::string("printf '%s' '") + reply + "'; exit 1");
    EXPECT_EQ(client().foundationAnswer("text", 60), std::nullopt) << "the tool failed";
}

// Both pipes are read while the tool runs: 1 MB on stderr or 1.5 MB of text would fill an unread one
// (64 KB), and the tool would never exit.
TEST_F(FoundationClientTest, OutputLargerThanAPipeNeitherStallsTheToolNorIsCut) {
    tool(std::string("head -c 1048576 /dev/zero >&2\nprintf '%s' '") + reply + "'");
    EXPECT_EQ(client(20s).foundationAnswer("text", 60), " Ein Satz.\n");
    tool(R"(printf '{"ok":true,"text":"'; head -c 1572864 /dev/zero | tr '\0' 'a'; printf '"}')");
    EXPECT_EQ(client(20s).foundationAnswer("text", 60), std::string(1572864, 'a'));
}

TEST_F(FoundationClientTest, AToolThatNeverExitsIsStoppedAtTheLimit) {
    for (const std::string& body : {
             std::string("exec sleep 600"),
             // Replies, closes its output and hangs: the end of output is not the end of the tool.
             std::string("printf '%s' '") + reply + "'; exec >&-; exec sleep 600",
             // Hangs in a child of its own, which must go too.
             std::string("sleep 600 & echo $! > '") + (root / "helper").string() + "'; wait",
         }) {
        tool(body);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(client(700ms).foundationAnswer("text", 60), std::nullopt) << body;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << body;
    }
    std::ifstream helperFile(root / "helper");
    pid_t helper = 0;
    ASSERT_TRUE(helperFile >> helper);
    // Killed, it may stay a zombie until whoever adopted it reaps it.
    const auto running = [helper] {
        std::ifstream stat("/proc/" + std::to_string(helper) + "/stat");
        std::string pid;
        std::string name;
        char state = 'X';
        return static_cast<bool>(stat >> pid >> name >> state) && state != 'Z' && state != 'X';
    };
    EXPECT_TRUE(test::eventually([&] { return !running(); })) << "the tool's own child is still running";
}

TEST_F(FoundationClientTest, ARaisedStopFlagEndsARunningToolAtOnce) {
    tool("exec sleep 600");
    auto stop = std::make_shared<std::atomic<bool>>(false);
    FoundationRuntimeClient stopping({runtime(), launcher, [] { return std::string("en"); }, 60s, stop});
    std::thread quitting([this, stop] { // once the tool runs
        EXPECT_TRUE(test::eventually([this] { return std::filesystem::exists(root / "arguments"); }));
        stop->store(true);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(stopping.foundationAnswer("text", 60), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "the tool ran on after the stop";
    quitting.join();
}

} // namespace
} // namespace ulvo
