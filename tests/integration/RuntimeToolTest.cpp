// ulvo-foundation-runtime as a process: every reply of its table, one JSON line, empty stderr, status 0.
#include "tests/integration/Subprocess.h"
#include "tests/integration/TextImages.h"
#include "tests/support/Files.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <unistd.h>

namespace ulvo {
namespace {

using json = nlohmann::json;
using Arguments = std::vector<std::string>;

const json notReady = {{"ok", false},
                       {"engine", "apple-foundation"},
                       {"error", "The built-in model is not ready on this computer."}};
const json noText = {{"ok", false}, {"error", "No readable text was found in this image."}};

// A prefix laid out like an installation: bin/ with a copy of the tool, lib/ulvo/runtime with the
// runtime's libraries and, when asked, a model at the tool's fixed place.
class ToolPrefix {
public:
    ToolPrefix() {
        std::filesystem::create_directories(root() / "bin");
        std::filesystem::create_directories(runtime() / "models");
        // A copy, not a link: the tool finds its runtime from its own location.
        std::filesystem::copy_file(ULVO_RUNTIME_TOOL, tool());
        std::filesystem::create_directory_symlink(std::filesystem::path(ULVO_RUNTIME_LIB_DIR).parent_path(),
                                                  runtime() / "lib");
    }

    std::filesystem::path runtime() const { return root() / "lib" / "ulvo" / "runtime"; }
    std::filesystem::path tool() const { return root() / "bin" / "ulvo-foundation-runtime"; }
    std::filesystem::path modelFile() const { return runtime() / "models" / "on-device.gguf"; }
    const std::filesystem::path& root() const { return folder_.path(); }

    // Runs the tool and checks what every run must give: status 0, nothing on stderr, and on stdout the
    // JSON object alone (no log line of the model's library). The line's form is the protocol's test.
    json reply(const Arguments& arguments, const std::vector<std::string>& environment = {}) const {
        Arguments command{tool().string()};
        command.insert(command.end(), arguments.begin(), arguments.end());
        const test::Finished run = test::runToEnd(command, environment);
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(run.standardError, "");
        const json object = json::parse(run.standardOutput, nullptr, false);
        EXPECT_TRUE(object.is_object()) << run.standardOutput;
        return object;
    }

private:
    test::ScratchFolder folder_;
};

// The argument forms themselves are the protocol's unit tests'; here each kind of reply as a process.
// Without its own model it explains with the built-in model's download, in the user's models folder
// under the built-in model's file name.
TEST(RuntimeTool, ExplainsWithTheBuiltInModelsDownloadOrItsOwnModelAndNotWithOneThatDoesNotLoad) {
    const ToolPrefix prefix;
    std::ofstream(prefix.runtime() / "runtime-config.json")
        << R"({"llamaServer":"llama-server","model":"models/built-in.gguf","modelAlias":"b","contextSize":2048,"apiKey":"k"})";
    const std::filesystem::path data = prefix.root() / "data";
    const std::vector<std::string> environment{"XDG_DATA_HOME=" + data.string()};
    EXPECT_EQ(prefix.reply({"availability"}, environment), notReady) << "no model anywhere yet";
    std::ofstream(prefix.modelFile()) << "GGUF but not really a model";
    EXPECT_EQ(prefix.reply({"availability"}), notReady);
    EXPECT_EQ(prefix.reply({"explain", "--", "Hallo"}), notReady);
    std::filesystem::remove(prefix.modelFile());
    std::filesystem::create_directories(data / "ulvo" / "models");
    std::filesystem::create_symlink(ULVO_TEST_MODEL, data / "ulvo" / "models" / "built-in.gguf");
    EXPECT_EQ(prefix.reply({"explain", "--", "Ice floats"}, environment).value("ok", false), true);

    std::filesystem::create_symlink(ULVO_TEST_MODEL, prefix.modelFile());
    const json available = prefix.reply({"availability"});
    EXPECT_EQ(available.value("ok", false), true) << available;
    EXPECT_EQ(available.value("device", "").rfind("CPU", 0), 0U) << "names the device: " << available;
    const Arguments request{
        "explain", "--level", "30", "--language", "de", "--", "Photosynthese in Pflanzen"};
    const json first = prefix.reply(request);
    EXPECT_TRUE(first.value("ok", false) && first.value("engine", "") == "apple-foundation" &&
                first["text"].is_string())
        << first;
    EXPECT_EQ(prefix.reply(request), first) << "greedy decoding: the same request gives the same answer";
    EXPECT_EQ(prefix.reply({"explain", "--", "caf\xe9 au lait"}).value("ok", false), true)
        << "text not UTF-8";
}

TEST(RuntimeTool, OcrRepliesAndTheirEscaping) {
    const ToolPrefix prefix;
    const std::filesystem::path image = prefix.root() / "quoted.png";
    test::Page page{1000, 200, {1, 1, 1}, {}};
    page.blocks = {
        test::TextBlock{
            "She wrote \"na\u00efve caf\u00e9\" on the board.", "DejaVu Sans 24px", 30, 30, 940, {}},
        test::TextBlock{"The folder is C:\\Users\\Ana today.", "DejaVu Sans 24px", 30, 110, 940, {}}};
    test::renderPng(page, image);
    const json read = prefix.reply({"ocr", image.string()});
    ASSERT_EQ(read.value("ok", false), true) << read;
    EXPECT_EQ(read.value("engine", ""), "apple-vision");
    const std::string text = read.value("text", "");
    EXPECT_GE(
        test::characterAccuracy(
            "She wrote \"na\u00efve caf\u00e9\" on the board.\nThe folder is C:\\Users\\Ana today.", text),
        0.95)
        << text;
    for (const char* piece : {"\"", "\\", "\n", "caf\u00e9"}) {
        EXPECT_NE(text.find(piece), std::string::npos) << piece << " in " << text;
    }

    EXPECT_EQ(prefix.reply({"ocr", (prefix.root() / "missing.png").string()}), noText);
    // Without language data Tesseract complains; none of it may reach stderr.
    std::filesystem::create_directories(prefix.root() / "empty-tessdata");
    EXPECT_EQ(prefix.reply({"ocr", image.string()},
                           {"TESSDATA_PREFIX=" + (prefix.root() / "empty-tessdata").string()}),
              noText);
}

} // namespace
} // namespace ulvo
