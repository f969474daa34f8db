#include "parameters.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <stdexcept>

namespace plover {
namespace {

bool has_name(std::string_view names, std::string_view name) {
    while (!names.empty()) {
        auto comma = names.find(',');
        auto one = names.substr(0, comma);
        if (one.starts_with('!')) {
            one.remove_prefix(1);
        }
        if (one == name) {
            return true;
        }
        names = comma == std::string_view::npos ? std::string_view() : names.substr(comma + 1);
    }
    return false;
}

CLI::Option* add_text(CLI::App& command, const Parameter& parameter) {
    // A const description: CLI11 takes a plain string as a variable to fill.
    const std::string help(parameter.help);
    auto* option = command.add_option(std::string(parameter.names), help)
                       ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    if (parameter.names.front() == '-') {
        option->type_name("TEXT");
    }
    if (parameter.fallback) {
        option->default_str(std::string(*parameter.fallback));
    }
    if (parameter.required) {
        option->required();
    }
    return option;
}

// The value of an option or positional: nothing when it was not given.
OptionalText given_by(const CLI::Option* option) {
    if (option->count() == 0 || option->results().empty()) {
        return std::nullopt;
    }
    return option->results().back();
}

}  // namespace

const Parameter& CommandTable::parameter(std::string_view name) const {
    for (const auto& entry : parameters) {
        if (has_name(entry.names, name)) {
            return entry;
        }
    }
    throw std::logic_error("the command " + std::string(this->name) + " has no parameter " +
                           std::string(name));
}

OptionalText Values::given(std::string_view name) const {
    auto found = texts_.find(table_->parameter(name).names);
    return found == texts_.end() ? std::nullopt : OptionalText(found->second);
}

std::string Values::text(std::string_view name) const {
    const auto& parameter = table_->parameter(name);
    auto found = texts_.find(parameter.names);
    if (found != texts_.end()) {
        return found->second;
    }
    return std::string(parameter.fallback.value_or(""));
}

bool Values::flag(std::string_view name) const {
    const auto& parameter = table_->parameter(name);
    auto found = flags_.find(parameter.names);
    return found != flags_.end() ? found->second : parameter.fallback == "on";
}

void declare(CLI::App& group, const CommandTable& table, Entry entry) {
    auto* command = group.add_subcommand(std::string(table.name), std::string(table.help));
    std::vector<std::pair<std::string_view, CLI::Option*>> texts;
    std::vector<std::pair<std::string_view, std::shared_ptr<bool>>> flags;
    for (const auto& parameter : table.parameters) {
        // Where -h is a parameter's own, help is reachable as --help only.
        if (has_name(parameter.names, "-h")) {
            command->set_help_flag("--help", "Print this help message and exit");
        }
    }
    for (const auto& parameter : table.parameters) {
        switch (parameter.form) {
            case Form::text:
                texts.emplace_back(parameter.names, add_text(*command, parameter));
                break;
            case Form::flag: {
                auto value = std::make_shared<bool>(false);
                command->add_flag(std::string(parameter.names), *value,
                                  std::string(parameter.help));
                flags.emplace_back(parameter.names, value);
                break;
            }
            case Form::on_off: {
                auto value = std::make_shared<bool>(parameter.fallback == "on");
                command->add_flag(std::string(parameter.names), *value, std::string(parameter.help))
                    ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
                    ->default_str(std::string(parameter.fallback.value_or("off")));
                flags.emplace_back(parameter.names, value);
                break;
            }
        }
    }
    command->callback([&table, texts, flags, entry = std::move(entry)] {
        Values values(table);
        for (const auto& [names, option] : texts) {
            if (auto value = given_by(option)) {
                values.set_text(names, *value);
            }
        }
        for (const auto& [names, value] : flags) {
            values.set_flag(names, *value);
        }
        entry(values);
    });
}

}  // namespace plover
