#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "norva_core/http.h"

// Implemented in platform/api/.
namespace norva_api {

using Record = nlohmann::ordered_json;

// A platform request failed: a status that is not a success (status() gives it), or an answer
// that cannot be read, or none in time (status() is 0).
class PlatformError : public std::runtime_error {
  public:
    explicit PlatformError(const std::string& message, long status = 0)
        : std::runtime_error(message), status_(status) {}
    long status() const { return status_; }

  private:
    long status_;
};

struct Connection;

// The platform API client. Each operation is one request; failures throw.
class APINoCode {
  public:
    // base: the platform address followed by "/v1". Needs the user's session token.
    explicit APINoCode(std::string base);
    // With a token of the caller's, for checking one before it is stored.
    APINoCode(std::string base, std::string token);

    // The user's platform session token.
    std::string token;

    struct Organizations {
        // Lets the user pick one of their organizations (NORVA_ORGANIZATION_ID picks without a
        // menu); nothing when the user cancels.
        std::optional<Record> cli_select() const;
        std::vector<Record> list() const;
        std::shared_ptr<const Connection> connection;
    } organizations;

    struct Projects {
        std::vector<Record> list(const std::string& organization_id) const;
        std::shared_ptr<const Connection> connection;
    } projects;

    struct Sims {
        std::vector<Record> list(const std::string& organization_uuid) const;
        Record retrieve(const std::string& organization_uuid, const std::string& sim_id) const;
        std::optional<Record> get_by_name(const std::string& organization_uuid,
                                          const std::string& name) const;
        Record create(const std::string& organization_uuid, const std::string& name,
                      const std::string& description) const;
        // `progress` is told the bytes sent of the upload's total as they go.
        void create_impl(const std::string& organization_uuid, const std::string& sim_id,
                         const std::string& archive_path, const std::string& sim_type,
                         const std::function<void(std::uint64_t sent, std::uint64_t total)>&
                             progress = nullptr) const;
        std::shared_ptr<const Connection> connection;
    } sims;
};

// A fresh TLS set-up for one HTTP client session.
norva_core::http::TlsConfig get_ssl_connector();

}  // namespace norva_api
