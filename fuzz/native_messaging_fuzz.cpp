// The native host's input: length-prefixed frames as the browser writes them, then each request.
#include "browser-host/HostProtocol.h"
#include "browser-host/NativeMessaging.h"

#include <unistd.h>

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A pipe holds 64 KiB without a reader; larger inputs add nothing the framing has not seen.
    if (size > 60000) {
        return 0;
    }
    int ends[2];
    if (::pipe(ends) != 0) {
        return 0;
    }
    const ssize_t written = ::write(ends[1], data, size);
    ::close(ends[1]);
    if (written == static_cast<ssize_t>(size)) {
        ulvo::host::FrameReader reader(ends[0]);
        for (ulvo::host::Frame frame = reader.next(); frame.status == ulvo::host::FrameStatus::message;
             frame = reader.next()) {
            (void)ulvo::host::parseRequest(frame.payload);
        }
    }
    ::close(ends[0]);
    (void)ulvo::host::parseRequest(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
