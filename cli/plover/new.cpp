#include "commands.h"
#include "norva_cli/main.h"

namespace plover {

void new_(std::string name, std::string description, std::string location, bool is_docker) {
    norva_cli::main::sim::create(name, description, location, is_docker);
}

const CommandTable NEW_COMMAND{
    "new",
    "Create a new Sim",
    {{"-n,--name", "", "my-sim"},
     {"-d,--description", "", "A demo sim"},
     {"-l,--location", "", "./"},
     {"--docker", "Whether to create a Docker supported sim", std::nullopt, Form::flag}}};

namespace {

// What the command line gave, else asked for with the table's fallback as the default.
std::string given_or_asked(const Values& values, std::string_view name, std::string_view prompt) {
    if (auto value = values.given(name)) {
        return *value;
    }
    return norva_core::console::prompt(prompt, values.text(name));
}

}  // namespace

std::vector<std::string> _asked_texts(const Values& values) {
    // Asked one after another, and only for what the command line left out.
    std::vector<std::string> texts;
    texts.push_back(given_or_asked(values, "--name", "Name"));
    texts.push_back(given_or_asked(values, "--description", "Description"));
    texts.push_back(given_or_asked(values, "--location", "Location"));
    return texts;
}

void new_command(const Values& values) {
    auto texts = _asked_texts(values);
    new_(texts[0], texts[1], texts[2], values.flag("--docker"));
}

}  // namespace plover
