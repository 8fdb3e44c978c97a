#pragma once

#include <string>

namespace ulvo::test {

// Moves this process (and every child it starts afterwards) into a network namespace of its own with
// only the loopback interface up, so a test can own 127.0.0.1:7332 without touching a real server.
// Call before any thread starts. Returns an empty string on success, else why it was not possible.
std::string enterPrivateNetwork();

} // namespace ulvo::test
