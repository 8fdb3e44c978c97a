#pragma once

#include <string_view>

namespace ulvo {

// Whether the text is a well-formed URL reference (absolute or relative): no spaces, no control
// characters, none of the characters a URL must escape, and complete percent escapes.
bool isParsableUrl(std::string_view text);

// Whether a provider's address keeps its key private on the way: an absolute https URL, or plain http to
// this computer itself (localhost, 127.0.0.0/8, [::1]), where a local model runner listens.
bool isPrivateProviderAddress(std::string_view url);

inline constexpr const char* providerAddressMessage =
    "The provider address must start with https:// (http:// only for this computer).";

} // namespace ulvo
