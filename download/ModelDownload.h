#pragma once

#include "base/HttpTransport.h"
#include "base/Result.h"
#include "base/StopFlag.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace ulvo {

struct DownloadProgress {
    std::int64_t done = 0;
    std::int64_t total = 0; // 0 while unknown

    bool operator==(const DownloadProgress&) const = default;
};

struct DownloadRequest {
    std::string url;
    std::filesystem::path destination;
    std::optional<std::string> sha256; // lower-case hex; otherwise the source's own checksum is used
    std::int64_t expectedBytes = 0;    // the catalogue's size, for the free-space check before the first byte
    StopFlag stop;
    std::function<void(const DownloadProgress&)> progress;
};

inline constexpr const char* downloadCancelledMessage = "The download was cancelled.";

// Downloads a model into destination: into destination.part first, resumed from it by a Range request
// (after an interruption, a dropped connection or a restart), with the free space checked first, then
// verified (the given SHA-256, else the one the source publishes as the stored object's ETag, then the
// GGUF header) and renamed into place. Fails with a message for the user. A file that fails
// verification, or is not a model at all, is deleted; a cut-short one stays to be resumed.
Result<void> downloadModel(HttpTransport& transport, const DownloadRequest& request);

// A model file the user chose: checked as GGUF and copied into destination (atomically).
Result<void> installModelFile(const std::filesystem::path& source, const std::filesystem::path& destination);

bool hasGgufHeader(const std::filesystem::path& file);
Result<std::string> sha256OfFile(const std::filesystem::path& file, const StopFlag& stop = nullptr);
// The SHA-256 a model hub publishes for a stored object: a quoted 64-digit hex ETag.
std::optional<std::string> publishedSha256(const HttpResponse& response);

} // namespace ulvo
