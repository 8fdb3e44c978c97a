#pragma once

#include "base/Result.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace ulvo {

// One model the program can download: the file name runtime-config.json's "model" uses, where it comes
// from, its size (for the free-space check and the progress) and, where known, its SHA-256.
struct CatalogueModel {
    std::string id;
    std::string name;
    std::string file;
    std::string url;
    std::int64_t bytes = 0;
    std::optional<std::string> sha256; // lower-case hex
};

// models.json in the runtime directory: "default" (an id) and "models".
struct ModelCatalogue {
    static constexpr const char* fileName = "models.json";

    std::string defaultId;
    std::vector<CatalogueModel> models;

    // Fails for a catalogue that is not one (the JSON library's words for what is not JSON or lacks a
    // member): a file name with a folder in it, an address that is not http(s), a default that names no
    // model.
    static Result<ModelCatalogue> decode(const std::string& json);
    static Result<ModelCatalogue> load(const std::filesystem::path& runtimeRoot);

    const CatalogueModel& defaultModel() const;
    const CatalogueModel* byFile(const std::string& file) const;
};

} // namespace ulvo
