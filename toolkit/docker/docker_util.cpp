#include "norva_core/docker_util.h"

#include <sstream>

#include "docker/docker_cli.h"
#include "norva_core/console.h"
#include "norva_core/errors.h"
#include "norva_core/interrupt.h"
#include "norva_core/json_input.h"
#include "norva_core/markup.h"

namespace norva_core::docker_util {
namespace {

constexpr const char* SIM_LABEL = "ai.norva.sim";
constexpr const char* VERSION_LABEL = "ai.norva.sim.version";
constexpr const char* SIM_PORT = "1337/tcp";

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

Record parsed(const std::string& text, const std::string& what) {
    try {
        return json_input::parse(text);
    } catch (const json_input::InputError& error) {
        throw docker::DockerError("Docker gave " + what + " that is " + error.what());
    }
}

// The containers' full descriptions, as `docker inspect` gives them.
std::vector<Record> inspected(const std::vector<std::string>& ids) {
    std::vector<std::string> args{"inspect"};
    args.insert(args.end(), ids.begin(), ids.end());
    auto all = parsed(docker::run(args), "a container description");
    if (!all.is_array() || all.size() != ids.size()) {
        throw docker::DockerError("Docker gave an unexpected container description");
    }
    return {all.begin(), all.end()};
}

const Record& at_path(const Record& value, std::initializer_list<const char*> path) {
    static const Record none;
    const Record* at = &value;
    for (const char* key : path) {
        if (!at->is_object() || !at->contains(key)) {
            return none;
        }
        at = &(*at)[key];
    }
    return *at;
}

std::optional<std::string> container_name(const Record& container) {
    const auto& name = at_path(container, {"Name"});
    if (!name.is_string()) {
        return std::nullopt;
    }
    auto text = name.get<std::string>();
    return !text.empty() && text.front() == '/' ? text.substr(1) : text;
}

// The loopback port that the sim's port is published on, if any.
std::optional<std::string> published_port(const Record& container) {
    const auto& bindings = at_path(container, {"NetworkSettings", "Ports", SIM_PORT});
    if (bindings.is_array()) {
        for (const auto& binding : bindings) {
            if (binding.is_object() && !binding.value("HostPort", std::string()).empty()) {
                return binding.at("HostPort").get<std::string>();
            }
        }
    }
    return std::nullopt;
}

std::string ports_text(const Record& container) {
    const auto& ports = at_path(container, {"NetworkSettings", "Ports"});
    std::string text;
    if (!ports.is_object()) {
        return text;
    }
    for (const auto& [inner, bindings] : ports.items()) {
        if (!bindings.is_array()) {
            continue;
        }
        for (const auto& binding : bindings) {
            text += (text.empty() ? "" : ", ") + binding.value("HostIp", std::string()) + ":" +
                    binding.value("HostPort", std::string()) + "->" + inner;
        }
    }
    return text;
}

}  // namespace

std::vector<Record> sim_list_images() {
    std::vector<Record> images;
    for (const auto& line : lines_of(
             docker::run({"images", "--filter", "reference=norva/*", "--format", "{{json .}}"}))) {
        auto image = parsed(line, "an image description");
        auto repository = image.value("Repository", std::string());
        images.push_back(Record{{"name", repository.substr(repository.find('/') + 1)},
                                {"last_updated", image.value("CreatedAt", std::string())}});
    }
    return images;
}

std::vector<Record> sim_list_running() {
    auto ids =
        lines_of(docker::run({"ps", "--quiet", "--filter", std::string("label=") + SIM_LABEL}));
    std::vector<Record> running;
    if (ids.empty()) {
        return running;
    }
    for (const auto& container : inspected(ids)) {
        Record record = Record::object();
        if (auto name = container_name(container)) {
            record["name"] = *name;
        }
        const auto& env = at_path(container, {"Config", "Env"});
        record["env"] = env.is_array() ? env : Record::array();
        record["ports"] = ports_text(container);
        const auto& version = at_path(container, {"Config", "Labels", VERSION_LABEL});
        if (version.is_string()) {
            record["version"] = version;
        }
        running.push_back(std::move(record));
    }
    return running;
}

std::string sim_start(const std::string& name, bool enable_historian, bool show_output) {
    std::string image = "norva/" + name;
    bool started = false;
    try {
        docker::run({"run", "--detach", "--name", name, "--label", SIM_LABEL, "--env",
                     std::string("IS_HISTORIAN_ENABLED=") + (enable_historian ? "1" : "0"),
                     "--publish", std::string("127.0.0.1::") + SIM_PORT, image});
        started = true;
        if (show_output) {
            auto info = get_info_container(name);
            console::Console(stdout).print("Started sim [bold]" + markup::escape(name) +
                                           "[/bold] from image " + markup::escape(image) + " at " +
                                           markup::escape(info.at("moniker").get<std::string>()));
        }
    } catch (const Interrupted&) {
        // An interrupted `docker run` may have started the container all the same.
        stop_quietly(name);
        throw;
    } catch (...) {
        if (started) {
            stop_quietly(name);
        }
        throw;
    }
    return name;
}

void sim_logs(const std::string& id, bool stream) {
    std::vector<std::string> args{"logs"};
    if (stream) {
        args.push_back("--follow");
    }
    args.push_back(id);
    docker::run_attached(args);
}

std::string start_container(const std::string& image, const std::map<std::string, int>& ports) {
    std::vector<std::string> args{"run", "--detach", "--label", SIM_LABEL};
    for (const auto& [inner, outer] : ports) {
        args.insert(args.end(), {"--publish", std::to_string(outer) + ":" + inner});
    }
    args.push_back(image);
    auto lines = lines_of(docker::run(args));
    if (lines.empty()) {
        throw docker::DockerError("docker run gave no container id for " + image);
    }
    return lines.back();
}

void stop(const std::string& id) {
    docker::run({"stop", id});
    docker::run({"rm", id});
}

void stop_quietly(const std::string& id) noexcept {
    interrupt::CleanupShield shield;
    try {
        stop(id);
    } catch (...) {
        // What made us stop it is what the user needs to hear of.
    }
}

Record get_info_container(const std::string& name) {
    auto container = inspected({name}).front();
    auto port = published_port(container);
    if (!port) {
        throw docker::DockerError("The container " + name + " publishes no port for " + SIM_PORT);
    }
    const auto& image = at_path(container, {"Config", "Image"});
    return Record{{"name", container_name(container).value_or(name)},
                  {"image", image.is_string() ? image.get<std::string>() : ""},
                  {"moniker", "localhost:" + *port},
                  {"id", at_path(container, {"Id"})},
                  {"status", at_path(container, {"State", "Status"})}};
}

}  // namespace norva_core::docker_util
