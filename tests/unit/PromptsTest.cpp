#include "answer/Prompts.h"
#include "platform/linux/SystemLanguage.h"

#include <gtest/gtest.h>

#include <map>

namespace ulvo {
namespace {

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

TEST(Prompts, BandBoundariesChooseTheBandText) {
    const std::map<Level, std::string> expected = {
        {-1, "Explain in plain, simple words"},
        {10, "Explain in plain, simple words"},
        {11, "real five-year-old"},
        {30, "real five-year-old"},
        {31, "friendly person chatting"},
        {60, "friendly person chatting"},
        {61, "intelligent non-specialist"},
        {85, "intelligent non-specialist"},
        {86, "PROFESSOR MODE."},
        {250, "PROFESSOR MODE."},
    };
    for (const auto& [level, marker] : expected) {
        const std::string prompt = systemPrompt(level, "en-US");
        EXPECT_TRUE(contains(prompt, marker)) << level;
        EXPECT_EQ(prompt.rfind("Explain the selected text accurately without inventing facts. ", 0), 0U);
    }
}

// The wording itself is the prompt's to change; what the code puts into it is tested.
TEST(Prompts, TheLanguageTagTheTextAndTheLevelGoInUnchanged) {
    EXPECT_TRUE(contains(systemPrompt(90, "en-US"), "(en-US)."));
    EXPECT_TRUE(contains(systemPrompt(50, ""), "language ()."));
    EXPECT_EQ(systemPrompt(90, "en-US").find("  "), std::string::npos) << "pieces are joined by one space";

    const std::string text = "Line one\n\"quoted\" and '''";
    const std::string followup = followupPrompt(text, 60, "de-DE");
    EXPECT_TRUE(contains(followup, ":\n\"\"\"" + text + "\"\"\"\n")) << followup;
    EXPECT_TRUE(contains(followup, "level 60/100.")) << followup;
    EXPECT_TRUE(contains(followup, "(de-DE)")) << followup;
    EXPECT_TRUE(contains(followupPrompt("x", -7, ""), "explanation level -7/100."));
    EXPECT_FALSE(contains(followupPrompt("x", 5, ""), "plain, simple words"))
        << "only the number names the level";
}

TEST(Prompts, ResponseLanguageKeepsTagCharactersOnly) {
    EXPECT_EQ(preferredResponseLanguage({"en-US", "fr"}, "de_DE"), "en-US");
    EXPECT_EQ(preferredResponseLanguage({}, "en_GB"), "enGB") << "the locale fallback loses its underscore";
    EXPECT_EQ(preferredResponseLanguage({"zh-Hans-CN"}, ""), "zh-Hans-CN");
    EXPECT_EQ(preferredResponseLanguage({"sr@latin.UTF 8"}, ""), "srlatinUTF8");
    EXPECT_EQ(preferredResponseLanguage({std::string(50, 'a')}, ""), std::string(35, 'a'));
    EXPECT_EQ(preferredResponseLanguage({"\u00e9\u00e9-\u0662"}, ""), "\u00e9\u00e9-\u0662")
        << "letters and digits of any script";
    EXPECT_EQ(preferredResponseLanguage({}, ""), "");
}

TEST(SystemLanguage, LocaleEnvironmentInGLibOrderBecomesLanguageTags) {
    const auto from = [](std::map<std::string, std::string> env) {
        return preferredLanguages([env](const char* name) -> std::optional<std::string> {
            const auto found = env.find(name);
            return found == env.end() ? std::nullopt : std::optional<std::string>(found->second);
        });
    };
    EXPECT_EQ(from({{"LANG", "de_DE.UTF-8"}}), (std::vector<std::string>{"de-DE"}));
    EXPECT_EQ(from({{"LANGUAGE", "fr_CA:en"}, {"LANG", "de_DE.UTF-8"}}),
              (std::vector<std::string>{"fr-CA", "en"}));
    EXPECT_EQ(from({{"LC_ALL", "pt_BR.UTF-8"}, {"LC_MESSAGES", "es_ES"}, {"LANG", "de_DE"}}),
              (std::vector<std::string>{"pt-BR"}));
    EXPECT_EQ(from({{"LANGUAGE", ""}, {"LC_MESSAGES", "es_ES.UTF-8"}}), (std::vector<std::string>{"es-ES"}));
    EXPECT_TRUE(from({{"LANG", "C.UTF-8"}}).empty());
    EXPECT_TRUE(from({{"LC_ALL", "POSIX"}}).empty());
    EXPECT_TRUE(from({}).empty());
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
