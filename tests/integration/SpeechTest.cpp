// Read aloud through a real speech-dispatcher of the test's own: its generic module runs espeak-ng and
// then holds the utterance, so a stop is seen as the speech ending long before it would by itself.
#include "card/CardBridge.h"
#include "platform/linux/SpeechDispatcherSpeaker.h"
#include "platform/linux/gtk/MainThread.h"
#include "tests/integration/Subprocess.h"
#include "tests/support/Files.h"
#include "tests/support/RecordingCardHost.h"
#include "tests/support/Waiting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <glib.h>
#include <sstream>

namespace ulvo {
namespace {

using namespace std::chrono_literals;

class SpeechService {
public:
    SpeechService() {
        const std::filesystem::path& folder = folder_.path();
        test::writeFile(folder / "speechd.conf", "LogLevel 3\nLogDir \"" + folder.string() +
                                                     "\"\nAudioOutputMethod \"libao\"\n"
                                                     "AddModule \"held\" \"sd_generic\" \"held.conf\"\n"
                                                     "DefaultModule held\n");
        // Synthesised for real, then held for a minute: only a stop ends it early.
        test::writeFile(
            folder / "modules" / "held.conf",
            "GenericExecuteSynth \"printf %s \\'$DATA\\' | espeak-ng -v $VOICE --stdout > /dev/null; "
            "echo $VOICE $$ >> " +
                (folder / "spoken").string() +
                "; exec sleep 60\"\n"
                "GenericLanguage \"en\" \"en\" \"utf-8\"\nGenericLanguage \"de\" \"de\" \"utf-8\"\n"
                "AddVoice \"en\" \"MALE1\" \"en\"\nAddVoice \"de\" \"MALE1\" \"de\"\n");
        const std::string socket = (folder / "socket").string();
        // Its own pid file: a speech service another test started is no reason to refuse.
        daemon_ = std::make_unique<test::Background>(std::vector<std::string>{
            "/usr/bin/speech-dispatcher", "-s", "-t", "0", "-C", folder.string(), "-c", "unix_socket", "-S",
            socket, "-L", folder.string(), "-P", (folder / "pid").string()});
        ::setenv("SPEECHD_ADDRESS", ("unix_socket:" + socket).c_str(), 1);
        EXPECT_TRUE(test::eventually([&] { return std::filesystem::exists(socket); }));
    }
    ~SpeechService() {
        daemon_.reset();
        ::unsetenv("SPEECHD_ADDRESS");
    }
    // What was synthesised: the voice's language and the process holding the utterance, one a line.
    std::vector<std::pair<std::string, pid_t>> spoken() const {
        std::vector<std::pair<std::string, pid_t>> all;
        std::istringstream lines(test::readFile(folder_ / "spoken"));
        for (std::pair<std::string, pid_t> one; lines >> one.first >> one.second;) {
            all.push_back(one);
        }
        return all;
    }

private:
    test::ScratchFolder folder_;
    std::unique_ptr<test::Background> daemon_;
};

bool said(const test::RecordingCardHost& host, const std::string& fragment) {
    return std::ranges::any_of(
        host.scripts, [&](const std::string& script) { return script.find(fragment) != std::string::npos; });
}

// Runs the main context, where the bridge's tasks from the speech worker arrive, until `done` holds.
bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
    return test::eventually(
        [&] {
            while (g_main_context_iteration(nullptr, FALSE) == TRUE) {
            }
            return done();
        },
        limit);
}

TEST(SpeechTest, TheAnswerIsSpokenInItsLanguageAndEveryWayOfStoppingEndsIt) {
    const SpeechService service;
    std::atomic<bool> ready{false};
    SpeechDispatcherSpeaker speaker([&] { ready = true; });
    ASSERT_TRUE(runUntil([&] { return ready.load(); }));
    ASSERT_TRUE(speaker.available()) << speaker.unavailableReason();

    const struct {
        const char* way;
        std::function<void(CardBridge&)> stop;
    } ways[] = {
        {"the card closes", [](CardBridge& bridge) { bridge.cardClosed(); }},
        {"pressed again",
         [](CardBridge& bridge) {
             bridge.didReceiveScriptMessage({{"action", "speak"}});
         }},
    };
    std::size_t utterances = 0;
    for (const auto& [way, stop] : ways) {
        test::RecordingCardHost host;
        CardBridge bridge(host, CardAnswers{}, gtk::postToMainThread);
        bridge.setSpeaker(&speaker, [] { return std::string("de"); });
        bridge.didFinishNavigation(false);
        EXPECT_TRUE(said(host, R"(setSpeech({"available":true}))")) << way;

        bridge.didReceiveScriptMessage({{"action", "speak"}, {"text", "Die Zelle ist klein."}});
        ++utterances;
        ASSERT_TRUE(runUntil([&] { return service.spoken().size() == utterances; })) << way;
        const auto [language, holder] = service.spoken().back();
        EXPECT_EQ(language, "de") << way;

        host.scripts.clear();
        stop(bridge);
        EXPECT_TRUE(said(host, R"(speechState({"speaking":false}))")) << way;
        // The service stopped it: the utterance's process is gone, a minute early.
        EXPECT_TRUE(runUntil([holder = holder] { return ::kill(holder, 0) != 0; }, 5s)) << way;
    }
}

TEST(SpeechTest, WithoutASpeechServiceSettingsSaysWhy) {
    ::setenv("SPEECHD_ADDRESS", "unix_socket:/nonexistent/ulvo-speech-socket", 1);
    std::atomic<bool> ready{false};
    {
        SpeechDispatcherSpeaker speaker([&] { ready = true; });
        ASSERT_TRUE(runUntil([&] { return ready.load(); }));
        EXPECT_FALSE(speaker.available());
        EXPECT_NE(speaker.unavailableReason().find("speech-dispatcher"), std::string::npos);
    }
    ::unsetenv("SPEECHD_ADDRESS");
}

} // namespace
} // namespace ulvo
