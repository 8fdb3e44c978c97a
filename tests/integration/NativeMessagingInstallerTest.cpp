// The native-messaging installer against a real scratch home and resource directory.
#include "browser/NativeMessagingInstaller.h"
#include "tests/support/Files.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

namespace ulvo {
namespace {

namespace fs = std::filesystem;
using Installer = NativeMessagingInstaller;

using nlohmann::json;
using test::readFile;
using test::writeFile;

class NativeMessagingInstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(home);
        useResources(scratch / "share" / "ulvo");
    }

    void useResources(const fs::path& directory) {
        resources = directory;
        writeFile(runtime() / "extension-ids.json",
                  R"({"chromeExtensionId": "abcdefghijklmnopabcdefghijklmnop"})");
        fs::copy(ULVO_MANIFEST_TEMPLATES, runtime() / "manifests",
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    }
    // The shipped template with the host's path and the browser's allowed extension filled in.
    json expected(const char* templateName, const char* allowed, const std::string& value) const {
        json filled = json::parse(readFile(fs::path(ULVO_MANIFEST_TEMPLATES) / templateName));
        filled["path"] = hostPath().string();
        filled[allowed] = {value};
        return filled;
    }

    fs::path runtime() const { return resources / "runtime"; }
    fs::path hostPath() const { return runtime() / "ulvo-runtime-host"; }
    fs::path manifest(const char* directory) const { return home / directory / Installer::manifestFileName; }

    std::vector<fs::path> writtenManifests() const {
        std::vector<fs::path> found;
        std::error_code noHome;
        for (const auto& entry : fs::recursive_directory_iterator(home, noHome)) {
            if (entry.is_regular_file()) {
                found.push_back(entry.path());
            }
        }
        return found;
    }

    test::ScratchFolder scratch;
    fs::path home = scratch / "home";
    fs::path resources;
};

// Folder names may hold quotes, backslashes, control characters and even a placeholder's text; nested
// folders such as Brave's are made from nothing, whether or not the browser is installed.
TEST_F(NativeMessagingInstallerTest, WritesEveryManifestAsValidJsonNamingTheRealHost) {
    fs::remove_all(home);
    useResources(scratch / "we\"ird\\ \x01 name" / "__ULVO_EXTENSION_ID__" / "share" / "ulvo");
    writeFile(runtime() / "extension-ids.json", R"({"chromeExtensionId": "id\"with\\quote"})");
    Installer::install(runtime(), home);
    const json chrome =
        expected(Installer::chromiumTemplateName, "allowed_origins", "chrome-extension://id\"with\\quote/");
    for (const char* directory : Installer::chromiumDirectories) {
        EXPECT_EQ(json::parse(readFile(manifest(directory))), chrome) << directory;
    }
    EXPECT_EQ(json::parse(readFile(manifest(Installer::firefoxDirectory))),
              expected(Installer::firefoxTemplateName, "allowed_extensions", "ulvo-extension@zvk"));
    EXPECT_EQ(writtenManifests().size(), 8U) << "no temporary files are left behind";
}

TEST_F(NativeMessagingInstallerTest, WithoutRuntimeOrExtensionIdsNothingIsWritten) {
    Installer::install(std::nullopt, home);
    fs::remove(runtime() / "extension-ids.json");
    Installer::install(runtime(), home);
    EXPECT_TRUE(writtenManifests().empty());
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
    }
    EXPECT_EQ(writtenManifests().size(), 9U) << "a temporary file was left behind";
    ::umount2(home.c_str(), MNT_DETACH);
}

TEST_F(NativeMessagingInstallerTest, AnUnwritableFolderLeavesOnlyItsManifestUnwritten) {
    writeFile(home / ".config/vivaldi", "a file where a folder belongs");
    Installer::install(runtime(), home);
    EXPECT_FALSE(fs::exists(manifest(".config/vivaldi/NativeMessagingHosts")));
    EXPECT_EQ(writtenManifests().size(), 8U) << "the other seven and the blocking file";
}

// The start-up call, from a relative runtime folder, over a manifest an older install left.
TEST_F(NativeMessagingInstallerTest, TheStartUpCallRewritesManifestsInHomeWithAnAbsoluteHostPath) {
    writeFile(manifest(Installer::firefoxDirectory), R"({"path": "/old/place/ulvo-runtime-host"})");
    const char* saved = std::getenv("HOME");
    const std::string previous = saved != nullptr ? saved : "";
    const fs::path before = fs::current_path();
    ::setenv("HOME", home.c_str(), 1);
    fs::current_path(scratch.path());
    installBundledNativeMessagingHost(fs::path("share/ulvo/runtime"));
    fs::current_path(before);
    ::setenv("HOME", previous.c_str(), 1);
    EXPECT_EQ(writtenManifests().size(), 8U);
    EXPECT_EQ(json::parse(readFile(manifest(Installer::firefoxDirectory)))["path"], hostPath().string());
}

} // namespace
} // namespace ulvo
