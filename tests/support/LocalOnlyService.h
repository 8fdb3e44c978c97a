#pragma once

#include "answer/LocalModel.h"
#include "answer/ModelService.h"
#include "base/HttpTransport.h"
#include "tests/support/FakeStores.h"

#include <future>
#include <memory>

namespace ulvo::test {

// The answer service over the built-in model alone: empty stores, so the built-in provider answers.
inline ModelService::Dependencies localOnlyDependencies(std::shared_ptr<HttpTransport> transport,
                                                        std::shared_ptr<LocalModel> local) {
    ModelService::Dependencies deps;
    deps.preferences = std::make_shared<MemoryPreferenceStore>();
    deps.secrets = std::make_shared<MemorySecretStore>();
    deps.transport = std::move(transport);
    deps.local = std::move(local);
    return deps;
}

// Asks once and waits for the one completion.
inline ExplainResult explainNow(ModelService& service, const std::string& text,
                                std::optional<std::string> question, Level level,
                                ModelService::Partial partial = {}) {
    std::promise<ExplainResult> done;
    service.explain(
        text, std::move(question), level,
        [&done](ExplainResult result) { done.set_value(std::move(result)); }, std::move(partial));
    return done.get_future().get();
}

} // namespace ulvo::test
