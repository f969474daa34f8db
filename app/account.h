#pragma once

namespace norva_app {

// Checks a platform session token by listing the user's organizations, then stores it. The token
// is asked for without echo, or read from standard input with_token.
void login(bool with_token);
// Removes the stored session token.
void logout();

}  // namespace norva_app
