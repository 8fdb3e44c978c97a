#include "platform/linux/ListeningSocket.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace ulvo {

namespace {

constexpr const char* listenState = "0A";

bool coversLoopback(const std::string& address) {
    // The kernel writes each 32-bit word in host order: 127.0.0.1 is 0100007F on little-endian machines.
    static const std::vector<std::string> covering{"0100007F", "00000000", std::string(32, '0'),
                                                   "0000000000000000FFFF00000100007F",
                                                   "0000000000000000FFFF000000000000"};
    return std::find(covering.begin(), covering.end(), address) != covering.end();
}

void readTable(const std::filesystem::path& file, int port, std::vector<uid_t>& owners) {
    std::ifstream table(file);
    std::string line;
    std::getline(table, line); // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot;
        std::string local;
        std::string remote;
        std::string state;
        std::string queues;
        std::string timer;
        std::string retransmits;
        long uid = -1;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid;
        const std::size_t colon = local.rfind(':');
        if (!fields || state != listenState || colon == std::string::npos) {
            continue;
        }
        if (std::stol(local.substr(colon + 1), nullptr, 16) == port &&
            coversLoopback(local.substr(0, colon))) {
            owners.push_back(static_cast<uid_t>(uid));
        }
    }
}

} // namespace

std::vector<uid_t> loopbackListenerOwners(int port, const std::filesystem::path& procNet) {
    std::vector<uid_t> owners;
    readTable(procNet / "tcp", port, owners);
    readTable(procNet / "tcp6", port, owners);
    return owners;
}

bool loopbackPortIsUsers(int port) {
    const std::vector<uid_t> owners = loopbackListenerOwners(port);
    const uid_t self = ::geteuid();
    return !owners.empty() &&
           std::all_of(owners.begin(), owners.end(), [self](uid_t uid) { return uid == self; });
}

} // namespace ulvo
