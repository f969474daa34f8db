#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

// Each sim command's parameters stand in one table beside the command; the parser declaration,
// the help and the values handed to the entry all come from it.
namespace plover {

using OptionalText = std::optional<std::string>;

enum class Form {
    // A value: an option ("-p,--path") or a positional ("PATH").
    text,
    // Present or not ("--json").
    flag,
    // A pair "--name,!--no-name".
    on_off,
};

struct Parameter {
    // CLI11's names, as the help shows them.
    std::string_view names;
    std::string_view help = {};
    // Shown in the help and handed on when the command line leaves the parameter out; "on" or
    // "off" for an on/off pair.
    std::optional<std::string_view> fallback = std::nullopt;
    Form form = Form::text;
    bool required = false;
};

struct CommandTable {
    std::string_view name;
    std::string_view help;
    // In the order the help lists them.
    std::vector<Parameter> parameters;

    // The parameter one of whose names is `name` ("--host" finds "-h,--host"); throws
    // std::logic_error when there is none.
    const Parameter& parameter(std::string_view name) const;
};

// What one command line gave, read by any one name of a parameter.
class Values {
  public:
    explicit Values(const CommandTable& table) : table_(&table) {}

    // The text given, or nothing.
    OptionalText given(std::string_view name) const;
    // The text given, else the table's fallback, else "".
    std::string text(std::string_view name) const;
    // Whether a flag or pair is on: as given, else as its fallback.
    bool flag(std::string_view name) const;

    void set_text(std::string_view names, std::string value) { texts_[names] = std::move(value); }
    void set_flag(std::string_view names, bool value) { flags_[names] = value; }

  private:
    const CommandTable* table_;
    std::map<std::string_view, std::string> texts_;
    std::map<std::string_view, bool> flags_;
};

using Entry = std::function<void(const Values&)>;

// --json, for scripts: one JSON document on standard output and nothing else there.
inline constexpr Parameter JSON_FLAG{"--json", "Write the result as one JSON document, for scripts",
                                     std::nullopt, Form::flag};

// Adds the command its table describes to the group; parsing it calls the entry.
void declare(CLI::App& group, const CommandTable& table, Entry entry);

}  // namespace plover
