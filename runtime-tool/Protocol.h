#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ulvo {

// The companion tool's one reply. Only these four keys are ever written.
struct Reply {
    bool ok = false;
    std::optional<std::string> engine;
    std::optional<std::string> text;
    std::optional<std::string> error;
    // Availability: which device runs the model, as "CPU (AVX2)".
    std::optional<std::string> device = std::nullopt;

    bool operator==(const Reply&) const = default;
};

// What the on-device model gives for one prompt: an answer, or a failure's message.
struct ModelOutcome {
    std::optional<std::string> answer;
    std::string failure;
};

// The model behind the platform gate.
class ExplanationModel {
public:
    virtual ~ExplanationModel() = default;
    virtual ModelOutcome respond(const std::string& instructions, const std::string& prompt) = 0;
    // Which device runs it; none when that is not known.
    virtual std::optional<std::string> device() const { return std::nullopt; }
};

// The tool's command protocol: one request, one reply.
struct ULVOFoundationRuntime {
    static constexpr std::int64_t defaultLevel = 60;

    // What stands behind the commands.
    struct Services {
        // The platform gate: the loaded model, or nothing when it is not ready.
        std::function<std::unique_ptr<ExplanationModel>()> loadModel;
        // Text in the image at a path, empty for every failure.
        std::function<std::string(const std::string& path)> recognizeText;
    };

    // The element after the first one equal to key; nothing when key is absent or last.
    static std::optional<std::string> value(const std::string& key,
                                            const std::vector<std::string>& arguments);

    // A decimal level with an optional sign, clamped to 0...100; the default when malformed or out of range.
    static std::int64_t level(const std::string& text);

    struct ExplainRequest {
        std::string text;
        std::int64_t level = defaultLevel;
        std::string language;
    };
    // Reads the arguments of explain (the command word included), structured or plain.
    static ExplainRequest explainRequest(const std::vector<std::string>& arguments);

    // The image path of ocr (the command word included).
    static std::string ocrPath(const std::vector<std::string>& arguments);

    static std::string instructions(std::int64_t level, const std::string& language);

    // Performs one request; the arguments exclude the program path.
    static Reply run(const std::vector<std::string>& arguments, const Services& services);

    // The reply as one compact JSON line with its line feed; a fixed line when it cannot be encoded.
    static std::string write(const Reply& reply);
};

} // namespace ulvo
