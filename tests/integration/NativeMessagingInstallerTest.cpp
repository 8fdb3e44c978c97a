// The native-messaging installer against a real scratch home and resource directory.
#include "browser/NativeMessagingInstaller.h"
#include "tests/support/Files.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace ulvo {
namespace {

namespace fs = std::filesystem;
using Installer = NativeMessagingInstaller;

const std::string chromeTemplate = R"({
  "name": "com.ulvo_by_zvk.runtime",
  "path": "__ULVO_RUNTIME_HOST_PATH__",
  "type": "stdio",
  "allowed_origins": ["chrome-extension://__ULVO_EXTENSION_ID__/"]
}
)";
const std::string firefoxTemplate = R"({
  "name": "com.ulvo_by_zvk.runtime",
  "path": "__ULVO_RUNTIME_HOST_PATH__",
  "type": "stdio",
  "allowed_extensions": ["ulvo-extension@zvk"]
}
)";

using test::readFile;
using test::writeFile;

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

class NativeMessagingInstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "ulvo-installer.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        scratch = pattern;
        home = scratch / "home";
        fs::create_directories(home);
        useResources(scratch / "share" / "ulvo");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(home, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(scratch, ignored);
    }

    void useResources(const fs::path& directory) {
        resources = directory;
        writeFile(runtime() / "extension-ids.json",
                  R"({"chromeExtensionId": "abcdefghijklmnopabcdefghijklmnop"})");
        writeFile(runtime() / "manifests" / Installer::chromiumTemplateName, chromeTemplate);
        writeFile(runtime() / "manifests" / Installer::firefoxTemplateName, firefoxTemplate);
    }

    fs::path runtime() const { return resources / "runtime"; }
    fs::path hostPath() const { return runtime() / "ulvo-runtime-host"; }
    fs::path manifest(const char* directory) const { return home / directory / Installer::manifestFileName; }

    std::vector<fs::path> writtenManifests() const {
        std::vector<fs::path> found;
        if (fs::exists(home)) {
            for (const auto& entry : fs::recursive_directory_iterator(home)) {
                if (entry.is_regular_file()) {
                    found.push_back(entry.path());
                }
            }
        }
        return found;
    }

    fs::path scratch;
    fs::path home;
    fs::path resources;
};

TEST_F(NativeMessagingInstallerTest, WritesTheSevenChromiumManifestsAndFirefoxByteForByte) {
    fs::remove_all(home); // nested folders such as Brave's are made from nothing
    Installer::install(runtime(), home);
    const std::string chrome =
        replaced(replaced(chromeTemplate, "__ULVO_RUNTIME_HOST_PATH__", hostPath().string()),
                 "__ULVO_EXTENSION_ID__", "abcdefghijklmnopabcdefghijklmnop");
    for (const char* directory : Installer::chromiumDirectories) {
        EXPECT_EQ(readFile(manifest(directory)), chrome) << directory;
        EXPECT_EQ(fs::status(manifest(directory)).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                      fs::perms::others_read);
    }
    EXPECT_EQ(readFile(manifest(Installer::firefoxDirectory)),
              replaced(firefoxTemplate, "__ULVO_RUNTIME_HOST_PATH__", hostPath().string()));
    EXPECT_EQ(writtenManifests().size(), 8U) << "no temporary files are left behind";
    EXPECT_TRUE(fs::exists(home / ".config/google-chrome-beta/NativeMessagingHosts"))
        << "directories are created whether or not the browser is installed";
}

TEST_F(NativeMessagingInstallerTest, UnusableExtensionIdsWriteNothingAtAll) {
    for (const std::string ids : {R"({"chromeExtensionId": ""})", R"({})", R"({"other": "x"})",
                                  R"({"chromeExtensionId": "abc", "firefox": 3})", R"(["abc"])",
                                  R"({"chromeExtensionId": "abc")", "\xff\xfe"}) {
        writeFile(runtime() / "extension-ids.json", ids);
        Installer::install(runtime(), home);
        EXPECT_TRUE(writtenManifests().empty()) << ids;
    }
    fs::remove(runtime() / "extension-ids.json");
    Installer::install(runtime(), home);
    Installer::install(std::nullopt, home);
    EXPECT_TRUE(writtenManifests().empty());
}

TEST_F(NativeMessagingInstallerTest, AMissingOrNonUtf8ChromiumTemplateStillWritesFirefox) {
    fs::remove(runtime() / "manifests" / Installer::chromiumTemplateName);
    Installer::install(runtime(), home);
    EXPECT_EQ(writtenManifests(), std::vector<fs::path>{manifest(Installer::firefoxDirectory)});

    fs::remove_all(home / ".mozilla");
    writeFile(runtime() / "manifests" / Installer::chromiumTemplateName, "{\"path\": \"\xc3\x28\"}");
    Installer::install(runtime(), home);
    EXPECT_EQ(writtenManifests(), std::vector<fs::path>{manifest(Installer::firefoxDirectory)});
}

TEST_F(NativeMessagingInstallerTest, PlaceholdersAreReplacedEverywhereAndOnlyInTheirTemplate) {
    writeFile(
        runtime() / "manifests" / Installer::chromiumTemplateName,
        "__ULVO_RUNTIME_HOST_PATH__|__ULVO_RUNTIME_HOST_PATH__|__ULVO_EXTENSION_ID____ULVO_EXTENSION_ID__");
    writeFile(runtime() / "manifests" / Installer::firefoxTemplateName,
              "__ULVO_RUNTIME_HOST_PATH__ __ULVO_RUNTIME_HOST_PATH__ __ULVO_EXTENSION_ID__");
    Installer::install(runtime(), home);
    const std::string host = hostPath().string();
    EXPECT_EQ(readFile(manifest(".config/opera/NativeMessagingHosts")),
              host + "|" + host + "|abcdefghijklmnopabcdefghijklmnopabcdefghijklmnopabcdefghijklmnop");
    EXPECT_EQ(readFile(manifest(Installer::firefoxDirectory)), host + " " + host + " __ULVO_EXTENSION_ID__");
}

// Folder names may hold quotes, backslashes, control characters and even a placeholder's text.
TEST_F(NativeMessagingInstallerTest, HostileFolderNamesStillYieldValidManifestsNamingTheRealPath) {
    useResources(scratch / "we\"ird\\ \x01 name" / "__ULVO_EXTENSION_ID__" / "share" / "ulvo");
    writeFile(runtime() / "extension-ids.json", R"({"chromeExtensionId": "id\"with\\quote"})");
    Installer::install(runtime(), home);
    for (const char* directory : Installer::chromiumDirectories) {
        const auto written = nlohmann::json::parse(readFile(manifest(directory)));
        EXPECT_EQ(written["path"], hostPath().string()) << directory;
        EXPECT_EQ(written["allowed_origins"], nlohmann::json::array({"chrome-extension://id\"with\\quote/"}));
        EXPECT_EQ(written.size(), 4U) << "no key injected";
    }
    EXPECT_EQ(nlohmann::json::parse(readFile(manifest(Installer::firefoxDirectory)))["path"],
              hostPath().string());
}

// Root ignores permission bits, so as root the directory becomes a read-only bind mount in a mount
// namespace of this test process's own.
bool makeReadOnly(const fs::path& directory) {
    if (::geteuid() != 0) {
        fs::permissions(directory, fs::perms::owner_read | fs::perms::owner_exec);
        return true;
    }
    return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount(directory.c_str(), directory.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
           ::mount(nullptr, directory.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

TEST_F(NativeMessagingInstallerTest, AReadOnlyChromeDirectoryLeavesOnlyThatManifestUnwritten) {
    const fs::path chrome = home / Installer::chromiumDirectories[0];
    fs::create_directories(chrome);
    if (!makeReadOnly(chrome)) {
        GTEST_SKIP() << "cannot make a read-only directory here";
    }
    Installer::install(runtime(), home);
    EXPECT_FALSE(fs::exists(manifest(Installer::chromiumDirectories[0])));
    EXPECT_TRUE(fs::is_empty(chrome)) << "no temporary file either";
    for (std::size_t i = 1; i < Installer::chromiumDirectories.size(); ++i) {
        EXPECT_TRUE(fs::is_regular_file(manifest(Installer::chromiumDirectories[i])))
            << Installer::chromiumDirectories[i];
    }
    EXPECT_TRUE(fs::is_regular_file(manifest(Installer::firefoxDirectory)));
    if (::geteuid() == 0) {
        ::umount(chrome.c_str());
    }
}

TEST_F(NativeMessagingInstallerTest, AFullDiskKeepsEveryEarlierManifestWholeAndLeavesNoTemporaryFile) {
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("ulvo-test", home.c_str(), "tmpfs", 0, "size=256k") != 0) {
        GTEST_SKIP() << "needs root to mount a small file system";
    }
    const fs::path newer = resources;
    useResources(scratch / "earlier" / "ulvo");
    Installer::install(runtime(), home);
    std::vector<std::pair<fs::path, std::string>> earlier;
    for (const fs::path& written : writtenManifests()) {
        earlier.emplace_back(written, readFile(written));
    }
    ASSERT_EQ(earlier.size(), 8U);
    {
        std::ofstream filler(home / "filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
        }
    }
    useResources(newer);
    Installer::install(runtime(), home);
    for (const auto& [path, text] : earlier) {
        EXPECT_EQ(readFile(path), text) << path;
        EXPECT_TRUE(nlohmann::json::accept(readFile(path))) << path;
    }
    EXPECT_EQ(writtenManifests().size(), 9U) << "a temporary file was left behind";
    ::umount2(home.c_str(), MNT_DETACH);
}

TEST_F(NativeMessagingInstallerTest, ADirectoryBlockedByAFileIsSkipped) {
    writeFile(home / ".config/vivaldi", "a file where a directory belongs");
    Installer::install(runtime(), home);
    EXPECT_FALSE(fs::exists(manifest(".config/vivaldi/NativeMessagingHosts")));
    EXPECT_TRUE(fs::is_regular_file(manifest(".config/opera/NativeMessagingHosts")));
    EXPECT_TRUE(fs::is_regular_file(manifest(Installer::firefoxDirectory)));
}

// The start-up call, from a relative runtime folder, over a manifest an older install left.
TEST_F(NativeMessagingInstallerTest, TheStartUpCallRewritesManifestsInHomeWithAnAbsoluteHostPath) {
    writeFile(manifest(Installer::firefoxDirectory), R"({"path": "/old/place/ulvo-runtime-host"})");
    const char* saved = std::getenv("HOME");
    const std::string previous = saved != nullptr ? saved : "";
    const fs::path before = fs::current_path();
    ::setenv("HOME", home.c_str(), 1);
    fs::current_path(scratch);
    installBundledNativeMessagingHost(fs::path("share/ulvo/runtime"));
    fs::current_path(before);
    ::setenv("HOME", previous.c_str(), 1);
    EXPECT_EQ(writtenManifests().size(), 8U);
    EXPECT_EQ(nlohmann::json::parse(readFile(manifest(Installer::firefoxDirectory)))["path"],
              hostPath().string());
}

} // namespace
} // namespace ulvo
