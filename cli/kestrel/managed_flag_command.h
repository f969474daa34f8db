#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>

namespace kestrel {

// The `connect` command. `--managed` is a text option that may also be given bare: absent gives
// nothing, bare gives "", and `--managed <value>` or `--managed=<value>` gives the value. A
// following token that is another option is parsed as that option.
class _ManagedFlagCommand : public CLI::App {
  public:
    _ManagedFlagCommand(std::string description, std::string name);

    std::optional<std::string> cluster_name() const;
    std::optional<std::string> organization_id() const;
    std::optional<std::string> managed() const;

  private:
    CLI::Option* name_ = nullptr;
    CLI::Option* organization_id_ = nullptr;
    CLI::Option* managed_ = nullptr;
};

}  // namespace kestrel
