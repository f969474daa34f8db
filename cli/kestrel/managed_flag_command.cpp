#include "managed_flag_command.h"

namespace kestrel {
namespace {

constexpr const char* managed_help =
    "Register as the platform managed cluster, available to all organizations; your session "
    "token authorises the registration. Optionally pass a CSV file whose first column lists the "
    "organization UUIDs granted access, e.g. --managed ./grants.csv";

std::optional<std::string> value_of(const CLI::Option* option) {
    if (option->count() == 0) {
        return std::nullopt;
    }
    const auto& results = option->results();
    return results.empty() ? std::string() : results.back();
}

}  // namespace

_ManagedFlagCommand::_ManagedFlagCommand(std::string description, std::string name)
    : CLI::App(std::move(description), std::move(name)) {
    name_ = add_option("--name", "Cluster name (default: <os-user>-local)")
                ->type_name("TEXT")
                ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    organization_id_ =
        add_option("--organization-id", "Organization UUID to link (skips the interactive picker)")
            ->type_name("TEXT")
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
            ->group("");
    managed_ = add_option("--managed", managed_help)
                   ->type_name("[CSV]")
                   ->expected(0, 1)
                   ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
                   ->group("");
}

std::optional<std::string> _ManagedFlagCommand::cluster_name() const {
    return value_of(name_);
}

std::optional<std::string> _ManagedFlagCommand::organization_id() const {
    return value_of(organization_id_);
}

std::optional<std::string> _ManagedFlagCommand::managed() const {
    return value_of(managed_);
}

}  // namespace kestrel
