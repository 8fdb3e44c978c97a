#include "answer/Prompts.h"
#include "platform/linux/SystemLanguage.h"

#include <gtest/gtest.h>

#include <map>
#include <utility>
#include <vector>

namespace ulvo {
namespace {

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

// The wording is the prompt's to change; which band a level falls in is tested by what it shares.
TEST(Prompts, BandBoundariesChooseTheBand) {
    const std::vector<std::pair<Level, Level>> sameBand = {{-1, 10}, {11, 30}, {31, 60}, {61, 85}, {86, 250}};
    for (std::size_t i = 0; i < sameBand.size(); ++i) {
        const auto [low, high] = sameBand[i];
        EXPECT_EQ(systemPrompt(low, "en-US"), systemPrompt(high, "en-US")) << low << " and " << high;
        if (i > 0) {
            EXPECT_NE(systemPrompt(sameBand[i - 1].second, "en-US"), systemPrompt(low, "en-US")) << low;
        }
    }
}

// What the code puts into the prompt is tested.
TEST(Prompts, TheLanguageTagTheTextAndTheLevelGoInUnchanged) {
    EXPECT_TRUE(contains(systemPrompt(90, "en-US"), "(en-US)."));

    const std::string text = "Line one\n\"quoted\" and '''";
    const std::string followup = followupPrompt(text, 60, "de-DE");
    EXPECT_TRUE(contains(followup, ":\n\"\"\"" + text + "\"\"\"\n")) << followup;
    EXPECT_TRUE(contains(followup, "level 60/100.")) << followup;
    EXPECT_TRUE(contains(followup, "(de-DE)")) << followup;
}

TEST(Prompts, ResponseLanguageKeepsTagCharactersOnly) {
    EXPECT_EQ(preferredResponseLanguage({"en-US", "fr"}, "de_DE"), "en-US");
    EXPECT_EQ(preferredResponseLanguage({}, "en_GB"), "enGB") << "the locale fallback loses its underscore";
    EXPECT_EQ(preferredResponseLanguage({"sr@latin.UTF 8"}, ""), "srlatinUTF8");
    EXPECT_EQ(preferredResponseLanguage({"\u00e9\u00e9-\u0662"}, ""), "\u00e9\u00e9-\u0662")
        << "letters and digits of any script";
}

TEST(SystemLanguage, LocaleEnvironmentInGLibOrderBecomesLanguageTags) {
    const auto from = [](std::map<std::string, std::string> env) {
        return preferredLanguages([env](const char* name) -> std::optional<std::string> {
            const auto found = env.find(name);
            return found == env.end() ? std::nullopt : std::optional<std::string>(found->second);
        });
    };
    using Tags = std::vector<std::string>;
    EXPECT_EQ(from({{"LANGUAGE", "fr_CA:en"}, {"LANG", "de_DE.UTF-8"}}), (Tags{"fr-CA", "en"}));
    EXPECT_EQ(from({{"LC_ALL", "pt_BR.UTF-8"}, {"LC_MESSAGES", "es_ES"}, {"LANG", "de_DE"}}), Tags{"pt-BR"});
    EXPECT_EQ(from({{"LANGUAGE", ""}, {"LC_MESSAGES", "es_ES.UTF-8"}}), Tags{"es-ES"});
    EXPECT_EQ(from({{"LANG", "C.UTF-8"}}), Tags{});
}

// Each test runs in a process of its own, so the locale set here is the one ICU starts with.
TEST(SystemLanguageTest, ACOrPosixLocaleMeansEnglishNotItsIcuName) {
    setenv("LANG", "C.UTF-8", 1);
    setenv("LC_ALL", "C.UTF-8", 1);
    unsetenv("LANGUAGE");
    unsetenv("LC_MESSAGES");
    EXPECT_EQ(systemResponseLanguage(), "en");
}

} // namespace
} // namespace ulvo
