#include "account.h"

#include <cstdlib>
#include <iostream>
#include <iterator>
#include <stdexcept>

#include "norva_api/api.h"
#include "norva_api/credentials.h"
#include "norva_core/async_util.h"
#include "norva_core/console.h"
#include "norva_core/markup.h"
#include "norva_core/settings.h"
#include "norva_core/text_forms.h"

namespace norva_app {
namespace {

using norva_core::text_forms::trimmed;

std::string read_token(bool with_token) {
    std::string given =
        with_token
            ? std::string(std::istreambuf_iterator<char>(std::cin), {})
            : norva_core::console::prompt_secret("Paste your NORVA session token").value_or("");
    return std::string(trimmed(given));
}

void check_token(const std::string& token) {
    try {
        norva_api::APINoCode(norva_core::settings::URL_API() + "/v1", token).organizations.list();
    } catch (const norva_api::PlatformError& error) {
        bool refused = error.status() == 401 || error.status() == 403;
        throw std::runtime_error(std::string(refused ? "The platform did not accept this token. "
                                                     : "Could not check the token. ") +
                                 error.what());
    }
}

void sign_in(bool with_token) {
    auto token = read_token(with_token);
    if (token.empty()) {
        throw std::invalid_argument("No token given; nothing was stored.");
    }
    check_token(token);
    norva_api::credentials::store_session_token(token);
    norva_core::console::Console out(stdout);
    out.print("[green]Signed in. The token is stored in " +
              norva_core::markup::escape(norva_api::credentials::credentials_path()) + ".[/green]");
    if (norva_core::settings::value(norva_core::settings::Key::token)) {
        out.print("[yellow]NORVA_TOKEN is set and is used instead while it stays set.[/yellow]");
    }
}

}  // namespace

void login(bool with_token) {
    norva_core::async_util::async_to_sync(sign_in)(with_token);
}

void logout() {
    norva_core::console::Console out(stdout);
    if (norva_api::credentials::forget_session_token()) {
        out.print("Signed out: the session token is removed from " +
                  norva_core::markup::escape(norva_api::credentials::credentials_path()) + ".");
    } else {
        out.print("No session token was stored; nothing to do.");
    }
}

}  // namespace norva_app
