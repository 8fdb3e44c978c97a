#include "download/ModelCatalogue.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>

namespace ulvo {

namespace {

bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool isHex64(const std::string& text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

} // namespace

Result<ModelCatalogue> ModelCatalogue::decode(const std::string& json) try {
    const nlohmann::json root = nlohmann::json::parse(json);
    ModelCatalogue catalogue;
    catalogue.defaultId = root.at("default").get<std::string>();
    for (const nlohmann::json& entry : root.at("models")) {
        CatalogueModel model;
        model.id = entry.at("id").get<std::string>();
        model.name = entry.at("name").get<std::string>();
        model.file = entry.at("file").get<std::string>();
        model.url = entry.at("url").get<std::string>();
        // A size too large for an integer arrives as a floating-point number; converting that would be
        // undefined, so only whole numbers in range count.
        const nlohmann::json& bytes = entry.at("bytes");
        if (!bytes.is_number_integer() ||
            (bytes.is_number_unsigned() && bytes.get<std::uint64_t>() > std::uint64_t{INT64_MAX})) {
            return Failure{"the catalogue's size of " + model.id + " is not a whole number of bytes"};
        }
        model.bytes = bytes.get<std::int64_t>();
        if (const auto sha = entry.find("sha256"); sha != entry.end() && !sha->is_null()) {
            std::string hex = sha->get<std::string>();
            std::transform(hex.begin(), hex.end(), hex.begin(),
                           [](unsigned char c) { return std::tolower(c); });
            if (!isHex64(hex)) {
                return Failure{"the catalogue's sha256 of " + model.id + " is not 64 hex digits"};
            }
            model.sha256 = hex;
        }
        if (!isPlainFileName(model.file)) {
            return Failure{"the catalogue's file of " + model.id + " is not a plain file name"};
        }
        if (model.url.rfind("https://", 0) != 0 && model.url.rfind("http://", 0) != 0) {
            return Failure{"the catalogue's address of " + model.id + " is not http(s)"};
        }
        if (model.bytes <= 0) {
            return Failure{"the catalogue's size of " + model.id + " is not positive"};
        }
        catalogue.models.push_back(std::move(model));
    }
    const auto found =
        std::find_if(catalogue.models.begin(), catalogue.models.end(),
                     [&](const CatalogueModel& model) { return model.id == catalogue.defaultId; });
    if (found == catalogue.models.end()) {
        return Failure{"the catalogue's default names no model"};
    }
    return catalogue;
} catch (const nlohmann::json::exception& error) {
    return Failure{error.what()};
}

Result<ModelCatalogue> ModelCatalogue::load(const std::filesystem::path& runtimeRoot) {
    std::ifstream in(runtimeRoot / fileName);
    if (!in) {
        return Failure{(runtimeRoot / fileName).string() + " cannot be read"};
    }
    std::ostringstream text;
    text << in.rdbuf();
    return decode(text.str());
}

const CatalogueModel& ModelCatalogue::defaultModel() const {
    return *std::find_if(models.begin(), models.end(),
                         [&](const CatalogueModel& model) { return model.id == defaultId; });
}

const CatalogueModel* ModelCatalogue::byFile(const std::string& file) const {
    const auto found = std::find_if(models.begin(), models.end(),
                                    [&](const CatalogueModel& model) { return model.file == file; });
    return found == models.end() ? nullptr : &*found;
}

} // namespace ulvo
