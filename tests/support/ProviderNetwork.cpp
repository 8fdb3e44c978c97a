#include "tests/support/ProviderNetwork.h"

#include "tests/support/PrivateNetwork.h"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace ulvo::test {

namespace {

constexpr const char* caBundle = "/etc/ssl/certs/ca-certificates.crt";

std::string bindOver(const std::filesystem::path& source, const char* target) {
    if (::mount(source.c_str(), target, nullptr, MS_BIND, nullptr) != 0) {
        return std::string("bind ") + target + ": " + std::strerror(errno);
    }
    return {};
}

} // namespace

ProviderNetwork enterProviderNetwork(const std::vector<std::string>& hosts) {
    ProviderNetwork network;
    if (::geteuid() != 0) {
        network.problem = "needs root (unshare -mn, bind mounts over /etc/hosts and the CA bundle)";
        return network;
    }
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        network.problem = std::string("mount namespace: ") + std::strerror(errno);
        return network;
    }
    if (network.problem = enterPrivateNetwork(); !network.problem.empty()) {
        return network;
    }
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("ulvo-providers-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    network.certificate = folder / "stand-in.pem";
    network.key = folder / "stand-in.key";
    std::string names;
    std::ofstream hostsFile(folder / "hosts");
    hostsFile << "127.0.0.1 localhost\n";
    for (const std::string& host : hosts) {
        names += (names.empty() ? "DNS:" : ",DNS:") + host;
        hostsFile << "127.0.0.1 " << host << "\n";
    }
    hostsFile.close();
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=provider-stand-in"
        " -addext subjectAltName=" +
        names + " -keyout " + network.key.string() + " -out " + network.certificate.string() + " 2>/dev/null";
    if (std::system(command.c_str()) != 0) { // a test's fixed command
        network.problem = "openssl could not make the stand-in's certificate";
        return network;
    }
    if (network.problem = bindOver(folder / "hosts", "/etc/hosts"); network.problem.empty()) {
        network.problem = bindOver(network.certificate, caBundle);
    }
    return network;
}

} // namespace ulvo::test
