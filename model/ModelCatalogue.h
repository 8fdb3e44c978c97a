#pragma once

#include "model/RuntimeConfig.h"

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

    // Throws std::invalid_argument (or the JSON library's error) for a catalogue that is not one: a file
    // name with a folder in it, an address that is not http(s), a default that names no model.
    static ModelCatalogue decode(const std::string& json);
    static ModelCatalogue load(const std::filesystem::path& runtimeRoot);

    const CatalogueModel& defaultModel() const;
    const CatalogueModel* byFile(const std::string& file) const;
};

// Where this user's models live: $XDG_DATA_HOME/ulvo/models, by default ~/.local/share/ulvo/models.
// An installed, read-only program works for every user without root.
std::filesystem::path userModelsFolder();

// The file runtime-config.json's "model" names: looked up in the user's folder first (by its file
// name), then in the runtime directory. Absent when neither has it.
std::optional<std::filesystem::path> findModelFile(const std::filesystem::path& runtimeRoot,
                                                   const RuntimeConfig& config);

// Where a download of that model goes.
std::filesystem::path downloadDestination(const RuntimeConfig& config);

} // namespace ulvo
