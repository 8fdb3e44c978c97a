// runtime-config.json and models.json as they may be found on disk.
#include "download/ModelCatalogue.h"
#include "server/RuntimeConfig.h"

#include <cstdint>
#include <exception>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        (void)ulvo::RuntimeConfig::decode(text);
    } catch (const std::exception&) {
        // Refused with an error: the caller says the runtime is incomplete.
    }
    try {
        const ulvo::ModelCatalogue catalogue = ulvo::ModelCatalogue::decode(text);
        // Whatever decodes names a default and plain file names only.
        const ulvo::CatalogueModel& model = catalogue.defaultModel();
        if (model.file.find('/') != std::string::npos || catalogue.byFile(model.file) == nullptr) {
            __builtin_trap();
        }
    } catch (const std::exception&) {
    }
    return 0;
}
