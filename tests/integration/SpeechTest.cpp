// Read aloud through a real speech-dispatcher of the test's own: its generic module runs espeak-ng and
// then holds the utterance, so a stop is seen as the speech ending long before it would by itself.
#include "card/CardBridge.h"
#include "platform/linux/SpeechDispatcherSpeaker.h"
#include "tests/integration/Subprocess.h"
#include "tests/support/Files.h"
#include "tests/support/Waiting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <sstream>

namespace ulvo {
namespace {

using namespace std::chrono_literals;

class SpeechService {
public:
    SpeechService() {
        char pattern[] = "/tmp/ulvo-speech-XXXXXX";
        folder_ = ::mkdtemp(pattern);
        spoken_ = folder_ / "spoken";
        test::writeFile(folder_ / "speechd.conf", "LogLevel 3\nLogDir \"" + folder_.string() +
                                                      "\"\nAudioOutputMethod \"libao\"\n"
                                                      "AddModule \"held\" \"sd_generic\" \"held.conf\"\n"
                                                      "DefaultModule held\n");
        // Synthesised for real, then held for a minute: only a stop ends it early.
        test::writeFile(
            folder_ / "modules" / "held.conf",
            "GenericExecuteSynth \"printf %s \\'$DATA\\' | espeak-ng -v $VOICE --stdout > /dev/null; "
            "echo $VOICE $$ >> " +
                spoken_.string() +
                "; exec sleep 60\"\n"
                "GenericLanguage \"en\" \"en\" \"utf-8\"\nGenericLanguage \"de\" \"de\" \"utf-8\"\n"
                "AddVoice \"en\" \"MALE1\" \"en\"\nAddVoice \"de\" \"MALE1\" \"de\"\n");
        const std::string socket = (folder_ / "socket").string();
        daemon_ = std::make_unique<test::Background>(
            std::vector<std::string>{"/usr/bin/speech-dispatcher", "-s", "-t", "0", "-C", folder_.string(),
                                     "-c", "unix_socket", "-S", socket, "-L", folder_.string()});
        ::setenv("SPEECHD_ADDRESS", ("unix_socket:" + socket).c_str(), 1);
        EXPECT_TRUE(test::eventually([&] { return std::filesystem::exists(socket); }));
    }
    ~SpeechService() {
        daemon_.reset();
        ::unsetenv("SPEECHD_ADDRESS");
        std::error_code error;
        std::filesystem::remove_all(folder_, error);
    }
    SpeechService(const SpeechService&) = delete;
    SpeechService& operator=(const SpeechService&) = delete;
    // What was synthesised, one a line: the voice's language and the process holding the utterance.
    std::string spoken() const { return test::readFile(spoken_); }
    long utterances() const {
        const std::string text = spoken();
        return std::count(text.begin(), text.end(), '\n');
    }
    std::pair<std::string, pid_t> last() const {
        std::istringstream lines(spoken());
        std::string language;
        pid_t holder = 0;
        for (std::string line; std::getline(lines, line);) {
            std::istringstream(line) >> language >> holder;
        }
        return {language, holder};
    }

private:
    std::filesystem::path folder_;
    std::filesystem::path spoken_;
    std::unique_ptr<test::Background> daemon_;
};

class RecordingHost final : public CardHost {
public:
    void evaluateScript(const std::string& script) override { scripts.push_back(script); }
    void hidePanel() override {}
    void copyText(const std::string&) override {}
    void captureSelectionAndShow() override {}
    bool accessibilityTrusted() override { return true; }
    const std::string& pendingSelection() const override { return selection; }
    bool said(const std::string& fragment) const {
        for (const std::string& script : scripts) {
            if (script.find(fragment) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    std::vector<std::string> scripts;
    std::string selection = "text";
};

// The test's main thread: tasks posted from other threads run while the test waits.
class MainQueue {
public:
    MainThreadPoster poster() {
        return [this](std::function<void()> task) {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
        };
    }
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
        return test::eventually(
            [&] {
                std::deque<std::function<void()>> tasks;
                {
                    std::lock_guard lock(mutex_);
                    tasks.swap(tasks_);
                }
                for (auto& task : tasks) {
                    task();
                }
                return done();
            },
            limit);
    }

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
};

TEST(SpeechTest, TheAnswerIsSpokenInItsLanguageAndEveryWayOfStoppingEndsIt) {
    const SpeechService service;
    MainQueue main;
    bool ready = false;
    SpeechDispatcherSpeaker speaker([&] { ready = true; });
    ASSERT_TRUE(main.runUntil([&] { return ready; }));
    ASSERT_TRUE(speaker.available()) << speaker.unavailableReason();

    CardAnswers answers;
    answers.explain = [](std::string, std::optional<std::string>, Level, std::function<void(ExplainResult)>,
                         std::function<void(const std::string&)>) {};
    const struct {
        const char* way;
        std::function<void(CardBridge&)> stop;
    } ways[] = {
        {"the card closes", [](CardBridge& bridge) { bridge.cardClosed(); }},
        {"pressed again",
         [](CardBridge& bridge) {
             bridge.didReceiveScriptMessage({{"action", "speak"}});
         }},
        {"a new answer is asked for",
         [](CardBridge& bridge) {
             bridge.didReceiveScriptMessage(
                 {{"action", "explain"}, {"text", "text"}, {"level", 40}, {"id", 2}});
         }},
    };
    int utterances = 0;
    for (const auto& [way, stop] : ways) {
        RecordingHost host;
        CardBridge bridge(host, answers, main.poster());
        bridge.setSpeaker(&speaker, [] { return std::string("de"); });
        bridge.didFinishNavigation(false);
        EXPECT_TRUE(host.said(R"(setSpeech({"available":true}))")) << way;

        bridge.didReceiveScriptMessage({{"action", "speak"}, {"text", "Die Zelle ist klein."}});
        EXPECT_TRUE(host.said(R"(speechState({"speaking":true}))")) << way;
        ++utterances;
        ASSERT_TRUE(main.runUntil([&] { return service.utterances() == utterances; })) << way;
        const auto [language, holder] = service.last();
        EXPECT_EQ(language, "de") << way;

        host.scripts.clear();
        stop(bridge);
        EXPECT_TRUE(host.said(R"(speechState({"speaking":false}))")) << way;
        // The service stopped it: the utterance's process is gone, a minute early.
        EXPECT_TRUE(main.runUntil([holder = holder] { return ::kill(holder, 0) != 0; }, 5s)) << way;
    }
}

TEST(SpeechTest, WithoutASpeechServiceTheButtonIsAbsentAndSettingsSaysWhy) {
    ::setenv("SPEECHD_ADDRESS", "unix_socket:/nonexistent/ulvo-speech-socket", 1);
    MainQueue main;
    bool ready = false;
    {
        SpeechDispatcherSpeaker speaker([&] { ready = true; });
        ASSERT_TRUE(main.runUntil([&] { return ready; }));
        EXPECT_FALSE(speaker.available());
        EXPECT_NE(speaker.unavailableReason().find("speech-dispatcher"), std::string::npos);
        RecordingHost host;
        CardBridge bridge(host, CardAnswers{}, main.poster());
        bridge.setSpeaker(&speaker, [] { return std::string("en"); });
        bridge.didFinishNavigation(false);
        EXPECT_TRUE(host.said(R"(setSpeech({"available":false}))"));
        host.scripts.clear();
        bridge.didReceiveScriptMessage({{"action", "speak"}, {"text", "Nothing to hear."}});
        EXPECT_FALSE(host.said("speechState"));
    }
    ::unsetenv("SPEECHD_ADDRESS");
}

} // namespace
} // namespace ulvo
