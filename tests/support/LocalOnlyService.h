#pragma once

#include "model/HttpTransport.h"
#include "model/LocalModel.h"
#include "model/ModelService.h"
#include "tests/support/FakeStores.h"

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

} // namespace ulvo::test
