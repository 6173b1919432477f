#pragma once
#include <stdexcept>
#include <string>

namespace quel {

// A fault of the message frame: malformed, incomplete or oversized messages,
// and sends that failed.
class msg_error : public std::runtime_error {
public:
    explicit msg_error(const std::string& text) : std::runtime_error(text) {}
};

// The library's own checks, and the server's refusals in the server's words.
class client_error : public std::runtime_error {
public:
    explicit client_error(const std::string& text) : std::runtime_error(text) {}
};

}  // namespace quel
