#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace ulvo::test {

// A network where the providers' own host names lead to a stand-in on 127.0.0.1: this process (and its
// later children) moves into mount and network namespaces of its own, a hosts file maps `hosts` to
// 127.0.0.1, and the system's CA bundle is replaced, inside the namespace only, by a certificate made
// here for those names. Needs root; call before any thread starts.
struct ProviderNetwork {
    std::filesystem::path certificate; // PEM, also the only trusted CA
    std::filesystem::path key;
    std::string problem; // why it could not be made; empty when it was
};

ProviderNetwork enterProviderNetwork(const std::vector<std::string>& hosts);

} // namespace ulvo::test
