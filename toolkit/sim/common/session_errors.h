#pragma once

#include <stdexcept>
#include <string>

#include "norva_core/text_forms.h"

// What a server's session registry refuses with, as both servers and the wire error table know
// them, apart from the registry itself.
namespace norva_core::sim {

class SessionNotFound : public std::out_of_range {
  public:
    explicit SessionNotFound(const std::string& id)
        : std::out_of_range("no session '" + text_forms::quoted(id) +
                            "'; it was closed or never made") {}
    // One the server closed on its own, and remembers why.
    SessionNotFound(const std::string& id, const std::string& closed)
        : std::out_of_range("session '" + text_forms::quoted(id) + "' was " + closed) {}
};

class VectorNotFound : public std::out_of_range {
  public:
    explicit VectorNotFound(const std::string& id)
        : std::out_of_range("no vector '" + text_forms::quoted(id) +
                            "'; it was closed or never made") {}
    VectorNotFound(const std::string& id, const std::string& closed)
        : std::out_of_range("vector '" + text_forms::quoted(id) + "' was " + closed) {}
};

// The server holds as many sessions as it allows.
class SessionLimit : public std::runtime_error {
  public:
    explicit SessionLimit(std::size_t max)
        : std::runtime_error("the server holds its most sessions (" + std::to_string(max) +
                             ", --max-sessions); close one or try again later") {}
    SessionLimit(std::size_t max, std::size_t asked, std::size_t open)
        : std::runtime_error("a vector of " + std::to_string(asked) + " needs " +
                             std::to_string(asked) + " sessions, and the server holds " +
                             std::to_string(open) + " of its most " + std::to_string(max) +
                             " (--max-sessions)") {}
};

}  // namespace norva_core::sim
