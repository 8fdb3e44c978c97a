#pragma once

#include "answer/ModelService.h"

#include <filesystem>
#include <memory>
#include <optional>

namespace ulvo {

// The answer service's real parts on this desktop: curl, llama-server under the runtime directory, the
// companion tool as the second chance, and the system response language. Shared by the program and
// the browsers' native host, so both answer alike.
ModelService::Dependencies
systemAnswerServiceDependencies(const std::optional<std::filesystem::path>& runtimeRoot,
                                std::shared_ptr<const PreferenceStore> preferences,
                                std::shared_ptr<SecretStore> secrets);

} // namespace ulvo
