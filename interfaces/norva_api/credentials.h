#pragma once

#include <optional>
#include <stdexcept>
#include <string>

// Implemented in platform/api/credentials.cpp.
namespace norva_api::credentials {

// A credential a command needs is not configured; the text says how to provide it.
class MissingCredential : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// NORVA_HOME/credentials.json
std::string credentials_path();

// The user's platform session token: NORVA_TOKEN, else "token" of the credentials file.
std::optional<std::string> session_token();

// The node credential: NORVA_API_KEY, else "api_key" of the credentials file.
std::optional<std::string> node_api_key();

// The same, or MissingCredential telling the user how to provide it.
std::string require_session_token();
std::string require_node_api_key();

// Keeps the session token in the credentials file (mode 0600), next to what it already holds.
void store_session_token(const std::string& token);
// Removes the session token from the credentials file; true when one was stored.
bool forget_session_token();

}  // namespace norva_api::credentials
