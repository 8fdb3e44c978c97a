#include "download/ModelDownload.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace ulvo {

namespace {

namespace fs = std::filesystem;

constexpr int attempts = 4; // the first try and three resumes after dropped connections
constexpr std::int64_t spareBytes = 64LL << 20;

std::string megabytes(std::int64_t bytes) {
    return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MB";
}

fs::path partFile(const fs::path& destination) {
    return destination.string() + ".part";
}

std::int64_t fileSize(const fs::path& file) {
    std::error_code error;
    const auto size = fs::file_size(file, error);
    return error ? 0 : static_cast<std::int64_t>(size);
}

std::optional<std::string> lowerHex64(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
    if (text.rfind("W/", 0) == 0) {
        return std::nullopt; // a weak tag is no checksum
    }
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    const bool hex = text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
                         return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                     });
    return hex ? std::optional(text) : std::nullopt;
}

// "bytes START-END/TOTAL": the total.
std::int64_t contentRangeTotal(const std::string& value) {
    const std::size_t slash = value.rfind('/');
    if (slash == std::string::npos || value.compare(slash + 1, std::string::npos, "*") == 0) {
        return 0;
    }
    try {
        return std::stoll(value.substr(slash + 1));
    } catch (const std::logic_error&) { // not a number, or out of range
        return 0;
    }
}

std::int64_t headerNumber(const HttpResponse& response, std::string_view name) {
    try {
        const std::optional<std::string> value = response.header(name);
        return value ? std::stoll(*value) : 0;
    } catch (const std::logic_error&) { // not a number, or out of range
        return 0;
    }
}

Result<void> checkFreeSpace(const fs::path& folder, std::int64_t needed) {
    std::error_code error;
    const fs::space_info space = fs::space(folder, error);
    if (!error && static_cast<std::int64_t>(space.available) < needed + spareBytes) {
        return Failure{"There is not enough free disk space for the model: it needs " + megabytes(needed) +
                       ", and " + megabytes(static_cast<std::int64_t>(space.available)) + " are free."};
    }
    return {};
}

void removeQuietly(const fs::path& file) {
    std::error_code ignored;
    fs::remove(file, ignored);
}

} // namespace

bool hasGgufHeader(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::array<char, 4> magic{};
    return in.read(magic.data(), magic.size()) && std::string_view(magic.data(), magic.size()) == "GGUF";
}

Result<std::string> sha256OfFile(const fs::path& file, const StopFlag& stop) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return Failure{"The model file cannot be read."};
    }
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    std::vector<char> buffer(1 << 20);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
        if (isRaised(stop)) {
            return Failure{downloadCancelledMessage};
        }
        EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(in.gcount()));
    }
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest.data(), &length);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        std::array<char, 3> pair{};
        std::snprintf(pair.data(), pair.size(), "%02x", digest[i]);
        hex += pair.data();
    }
    return hex;
}

std::optional<std::string> publishedSha256(const HttpResponse& response) {
    // A hub answers the download address with a redirect carrying the stored object's hash; the
    // storage behind it may tag the file differently.
    for (const char* name : {"x-linked-etag", "etag"}) {
        if (const std::optional<std::string> value = response.header(name)) {
            if (std::optional<std::string> hex = lowerHex64(*value)) {
                return hex;
            }
        }
    }
    return std::nullopt;
}

Result<void> downloadModel(HttpTransport& transport, const DownloadRequest& request) {
    const fs::path part = partFile(request.destination);
    std::error_code error;
    fs::create_directories(request.destination.parent_path(), error);
    if (error) {
        return Failure{"The model folder " + request.destination.parent_path().string() +
                       " cannot be created: " + error.message() + "."};
    }
    if (request.expectedBytes > 0) {
        ULVO_TRY(checkFreeSpace(request.destination.parent_path(), request.expectedBytes - fileSize(part)));
    }

    std::optional<std::string> published;
    std::int64_t total = 0;
    for (int attempt = 0;; ++attempt) {
        const std::int64_t have = fileSize(part);
        HttpRequest http;
        http.url = request.url;
        http.followRedirects = true;
        http.keepBody = false;
        http.timeout = std::chrono::seconds(30);
        http.stop = request.stop;
        http.acceptBody = [&total](const HttpResponse& head) {
            const std::optional<std::string> type = head.header("content-type");
            if ((head.status != 200 && head.status != 206) ||
                (type && type->find("text/html") != std::string::npos)) {
                return false;
            }
            total = head.status == 206 ? contentRangeTotal(head.header("content-range").value_or(""))
                                       : headerNumber(head, "content-length");
            return true;
        };
        if (have > 0) {
            http.headers.emplace_back("Range", "bytes=" + std::to_string(have) + "-");
        }
        std::ofstream out;
        std::int64_t written = have;
        bool started = false;
        bool refused = false;
        http.onData = [&](std::string_view bytes) {
            if (!started) {
                started = true;
                out.open(part, std::ios::binary | std::ios::app);
                if (!out) {
                    refused = true;
                    return false;
                }
            }
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            if (!out) {
                refused = true;
                return false;
            }
            written += static_cast<std::int64_t>(bytes.size());
            if (request.progress) {
                request.progress({written, total});
            }
            return true;
        };
        const Result<HttpResponse> response = transport.send(http);
        if (!response && response.failure().code != httpNoResponse) {
            out.close();
            if (isRaised(request.stop)) {
                return Failure{downloadCancelledMessage};
            }
            if (refused) {
                return Failure{"The model cannot be written to " + part.string() +
                               " (the disk may be full): the download stopped."};
            }
            if (attempt + 1 < attempts && fileSize(part) > have) {
                continue; // the connection dropped midway: resume from what arrived
            }
            return Failure{"The download failed: " + response.failure().message};
        }
        out.close();
        if (!response) {
            return Failure{"The download failed: the server did not answer."};
        }
        if (!published) {
            published = publishedSha256(*response);
        }
        if (response->status == 416 && have > 0) {
            break; // the part file is already whole
        }
        if (response->status != 200 && response->status != 206) {
            removeQuietly(part);
            return Failure{"The model could not be downloaded: the server answered " +
                           std::to_string(response->status) + "."};
        }
        const std::optional<std::string> type = response->header("content-type");
        if (type && type->find("text/html") != std::string::npos) {
            removeQuietly(part);
            return Failure{"The address gave a web page, not a model."};
        }
        if (response->status == 200 && have > 0) {
            // The server ignored the range and sent the whole file after what was kept: start afresh.
            removeQuietly(part);
            if (attempt + 1 < attempts) {
                continue;
            }
            return Failure{"The download failed: the server does not resume."};
        }
        if (total > 0 && fileSize(part) < total) {
            if (attempt + 1 < attempts) {
                continue; // ended early without an error: resume
            }
            return Failure{"The download ended before the whole model arrived. Please try again."};
        }
        break;
    }

    if (request.progress) {
        const std::int64_t size = fileSize(part);
        request.progress({size, std::max(total, size)});
    }
    const std::optional<std::string> expected = request.sha256 ? request.sha256 : published;
    if (expected) {
        const Result<std::string> actual = sha256OfFile(part, request.stop);
        ULVO_TRY(actual);
        if (*actual != *expected) {
            removeQuietly(part);
            return Failure{
                "The downloaded model did not match its checksum, so it was deleted. Please try again."};
        }
    }
    if (!hasGgufHeader(part)) {
        removeQuietly(part);
        return Failure{"The downloaded file is not a GGUF model, so it was deleted."};
    }
    fs::rename(part, request.destination, error);
    if (error) {
        return Failure{"The model could not be put in place: " + error.message() + "."};
    }
    return {};
}

Result<void> installModelFile(const fs::path& source, const fs::path& destination) {
    if (!hasGgufHeader(source)) {
        return Failure{"The chosen file is not a GGUF model."};
    }
    std::error_code error;
    fs::create_directories(destination.parent_path(), error);
    ULVO_TRY(checkFreeSpace(destination.parent_path(), fileSize(source)));
    const fs::path part = partFile(destination);
    fs::copy_file(source, part, fs::copy_options::overwrite_existing, error);
    if (!error) {
        fs::rename(part, destination, error);
    }
    if (error) {
        removeQuietly(part);
        return Failure{"The model could not be copied: " + error.message() + "."};
    }
    return {};
}

} // namespace ulvo
