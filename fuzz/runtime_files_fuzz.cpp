// runtime-config.json and models.json as they may be found on disk.
#include "download/ModelCatalogue.h"
#include "server/RuntimeConfig.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // Refused with a failure, never an exception: the caller says the runtime is incomplete.
    (void)ulvo::RuntimeConfig::decode(text);
    if (const ulvo::Result<ulvo::ModelCatalogue> catalogue = ulvo::ModelCatalogue::decode(text)) {
        // Whatever decodes names a default and plain file names only.
        const ulvo::CatalogueModel& model = catalogue->defaultModel();
        if (model.file.find('/') != std::string::npos || catalogue->byFile(model.file) == nullptr) {
            __builtin_trap();
        }
    }
    return 0;
}
