// Answer cleanup at every band, whole and as a partial answer, on any bytes a model may send.
#include "answer/Cleanup.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const ulvo::Level level : {0, 10, 20, 30, 45, 60, 75, 85, 95, 100}) {
        (void)ulvo::clean(text, level);
        (void)ulvo::cleanPartial(text, level);
    }
    (void)ulvo::toTelegraphic(text, size % 7, static_cast<int>(size % 5) - 1);
    return 0;
}
