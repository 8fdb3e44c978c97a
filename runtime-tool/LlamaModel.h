#pragma once

#include "runtime-tool/Protocol.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

struct llama_model;

namespace ulvo {

// Every generation setting in one place: greedy decoding, so one prompt always gives one answer.
struct GenerationSettings {
    static constexpr std::int32_t maxResponseTokens = 512;
    static constexpr std::uint32_t maxContextTokens = 8192;
};

// The on-device model: llama.cpp in this process, the model's own chat template, greedy sampling.
class LlamaModel final : public ExplanationModel {
public:
    // The tool's own model file, at a fixed place in the runtime directory.
    static constexpr const char* modelFile = "models/on-device.gguf";
    // That file, or else the built-in model's (the user's download first); none without either.
    static std::optional<std::filesystem::path> modelPath(const std::filesystem::path& runtimeDirectory);

    // The model with the CPU backend of the runtime directory's libraries; nothing when it does not load.
    static std::unique_ptr<LlamaModel> load(const std::filesystem::path& runtimeDirectory);
    ~LlamaModel() override;
    LlamaModel(const LlamaModel&) = delete;
    LlamaModel& operator=(const LlamaModel&) = delete;

    ModelOutcome respond(const std::string& instructions, const std::string& prompt) override;
    // The CPU: the tool keeps every layer there (n_gpu_layers 0).
    std::optional<std::string> device() const override;

private:
    struct ModelDeleter {
        void operator()(llama_model* model) const;
    };
    class Backend;

    LlamaModel(std::unique_ptr<Backend> backend, std::unique_ptr<llama_model, ModelDeleter> model);

    std::unique_ptr<Backend> backend_;
    std::unique_ptr<llama_model, ModelDeleter> model_;
};

} // namespace ulvo
