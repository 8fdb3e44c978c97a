#include "runtime-tool/LlamaModel.h"

#include "base/Text.h"
#include "server/ComputeDevice.h"
#include "server/ModelFiles.h"

#include <ggml-backend.h>
#include <ggml.h>
#include <llama.h>

#include <algorithm>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace ulvo {

namespace {

// llama.cpp and ggml would otherwise talk on stderr, which the tool keeps empty.
void discardLog(ggml_log_level, const char*, void*) {}

struct ContextDeleter {
    void operator()(llama_context* context) const { llama_free(context); }
};
struct SamplerDeleter {
    void operator()(llama_sampler* sampler) const { llama_sampler_free(sampler); }
};

std::optional<std::string> chatPrompt(const llama_model* model, const std::string& instructions,
                                      const std::string& prompt) {
    const llama_chat_message messages[] = {{"system", instructions.c_str()}, {"user", prompt.c_str()}};
    // No template in the file lets llama.cpp choose its default.
    const char* chatTemplate = llama_model_chat_template(model, nullptr);
    std::vector<char> buffer(2 * (instructions.size() + prompt.size()) + 256);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const std::int32_t length =
            llama_chat_apply_template(chatTemplate, messages, std::size(messages), true, buffer.data(),
                                      static_cast<std::int32_t>(buffer.size()));
        if (length < 0) {
            return std::nullopt;
        }
        if (static_cast<std::size_t>(length) <= buffer.size()) {
            return std::string(buffer.data(), static_cast<std::size_t>(length));
        }
        buffer.resize(static_cast<std::size_t>(length));
    }
    return std::nullopt;
}

std::optional<std::vector<llama_token>> tokenize(const llama_vocab* vocab, const std::string& text) {
    const auto length = static_cast<std::int32_t>(text.size());
    // The template's markers are special tokens; the model's own start token is added as it wants.
    const std::int32_t needed = -llama_tokenize(vocab, text.data(), length, nullptr, 0, true, true);
    if (needed <= 0) {
        return std::nullopt;
    }
    std::vector<llama_token> tokens(static_cast<std::size_t>(needed));
    if (llama_tokenize(vocab, text.data(), length, tokens.data(), needed, true, true) != needed) {
        return std::nullopt;
    }
    return tokens;
}

std::string piece(const llama_vocab* vocab, llama_token token) {
    std::string text(64, '\0');
    std::int32_t length =
        llama_token_to_piece(vocab, token, text.data(), static_cast<std::int32_t>(text.size()), 0, false);
    if (length < 0) {
        text.resize(static_cast<std::size_t>(-length));
        length =
            llama_token_to_piece(vocab, token, text.data(), static_cast<std::int32_t>(text.size()), 0, false);
    }
    text.resize(static_cast<std::size_t>(std::max(length, 0)));
    return text;
}

ModelOutcome failed(std::string message) {
    return ModelOutcome{std::nullopt, std::move(message)};
}

} // namespace

class LlamaModel::Backend {
public:
    explicit Backend(const std::filesystem::path& directory) {
        llama_log_set(discardLog, nullptr);
        ggml_log_set(discardLog, nullptr);
        ggml_backend_load_all_from_path(directory.c_str());
        llama_backend_init();
    }
    ~Backend() { llama_backend_free(); }
    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;
};

void LlamaModel::ModelDeleter::operator()(llama_model* model) const {
    llama_model_free(model);
}

LlamaModel::LlamaModel(std::unique_ptr<Backend> backend, std::unique_ptr<llama_model, ModelDeleter> model)
    : backend_(std::move(backend))
    , model_(std::move(model)) {}

LlamaModel::~LlamaModel() {
    model_.reset(); // before the backend goes
}

std::optional<std::filesystem::path> LlamaModel::modelPath(const std::filesystem::path& runtimeDirectory) {
    std::error_code error;
    if (std::filesystem::is_regular_file(runtimeDirectory / modelFile, error)) {
        return runtimeDirectory / modelFile;
    }
    // Without a model of its own, the built-in model's file serves: a built-in server that cannot
    // start (a taken port, a crashed binary) still has its second chance from the same download.
    const Result<RuntimeConfig> config = RuntimeConfig::load(runtimeDirectory);
    return config ? findModelFile(runtimeDirectory, *config) : std::nullopt; // unreadable: no model
}

std::optional<std::string> LlamaModel::device() const {
    return ComputeDevice::cpu().label;
}

std::unique_ptr<LlamaModel> LlamaModel::load(const std::filesystem::path& runtimeDirectory) {
    const std::optional<std::filesystem::path> found = modelPath(runtimeDirectory);
    if (!found) {
        return nullptr;
    }
    const std::filesystem::path& model = *found;
    auto backend = std::make_unique<Backend>(runtimeDirectory / "lib" / ULVO_RUNTIME_MACHINE);
    llama_model_params parameters = llama_model_default_params();
    parameters.n_gpu_layers = 0;
    std::unique_ptr<llama_model, ModelDeleter> loaded(llama_model_load_from_file(model.c_str(), parameters));
    if (!loaded) {
        return nullptr;
    }
    return std::unique_ptr<LlamaModel>(new LlamaModel(std::move(backend), std::move(loaded)));
}

ModelOutcome LlamaModel::respond(const std::string& instructions, const std::string& prompt) {
    try {
        const llama_vocab* vocab = llama_model_get_vocab(model_.get());
        const std::optional<std::string> text = chatPrompt(model_.get(), instructions, prompt);
        if (!text) {
            return failed("The on-device model's chat template is not supported.");
        }
        std::optional<std::vector<llama_token>> tokens = tokenize(vocab, *text);
        if (!tokens) {
            return failed("The on-device model could not read the text.");
        }
        const auto promptTokens = static_cast<std::uint32_t>(tokens->size());
        const std::uint32_t limit = std::min<std::uint32_t>(
            GenerationSettings::maxContextTokens,
            static_cast<std::uint32_t>(std::max(llama_model_n_ctx_train(model_.get()), 1)));
        if (promptTokens >= limit) {
            return failed("The selected text is too long for the on-device model.");
        }

        llama_context_params parameters = llama_context_default_params();
        parameters.n_ctx =
            std::min<std::uint32_t>(limit, promptTokens + GenerationSettings::maxResponseTokens);
        parameters.n_batch = promptTokens;
        // One token at a time is a chain of tiny steps whose threads meet at spinning barriers; on a
        // busy machine a thread that loses its core stalls all of them, so generation takes half the
        // cores and only the prompt, one large step, takes them all.
        const auto cores = static_cast<std::int32_t>(std::max(1U, std::thread::hardware_concurrency()));
        parameters.n_threads = std::max(1, cores / 2);
        parameters.n_threads_batch = cores;
        parameters.no_perf = true;
        const std::unique_ptr<llama_context, ContextDeleter> context(
            llama_init_from_model(model_.get(), parameters));
        if (!context) {
            return failed("The on-device model could not start.");
        }
        const std::unique_ptr<llama_sampler, SamplerDeleter> sampler(
            llama_sampler_chain_init(llama_sampler_chain_default_params()));
        llama_sampler_chain_add(sampler.get(), llama_sampler_init_greedy());

        if (llama_decode(context.get(),
                         llama_batch_get_one(tokens->data(), static_cast<std::int32_t>(promptTokens))) != 0) {
            return failed("The on-device model could not read the text.");
        }
        std::string answer;
        std::uint32_t position = promptTokens;
        for (std::int32_t generated = 0;
             generated < GenerationSettings::maxResponseTokens && position < parameters.n_ctx;
             ++generated, ++position) {
            llama_token token = llama_sampler_sample(sampler.get(), context.get(), -1);
            if (llama_vocab_is_eog(vocab, token)) {
                break;
            }
            answer += piece(vocab, token);
            if (llama_decode(context.get(), llama_batch_get_one(&token, 1)) != 0) {
                return failed("The on-device model stopped while answering.");
            }
        }
        // Tokens may end inside a character; the answer is text all the same.
        return ModelOutcome{repairedUtf8(answer), {}};
    } catch (const std::exception& exception) {
        return failed(exception.what());
    }
}

} // namespace ulvo
