#include <optional>
#include <stdexcept>

#include "commands.h"
#include "norva_core/docker_util.h"
#include "norva_core/grpc_util.h"
#include "norva_core/logger_util.h"
#include "norva_core/markup.h"
#include "norva_core/network_util.h"
#include "norva_core/sim_client.h"
#include "norva_core/space_util.h"
#include "started_container.h"

namespace plover {
namespace {

using norva_core::markup::escape;

std::string truth(bool value) {
    return value ? "True" : "False";
}

std::string report(const std::string& address, const std::string& env_id, bool port_opened,
                   bool channel_available, const norva_core::Space& sensor_space,
                   const norva_core::Space& action_space) {
    std::string output = "\n";
    output += "    [bold]Simulator Info[/bold]\n";
    output += "    - [bold]Address: [/bold] " + escape(address) + "\n";
    output += "    - [bold]Env ID: [/bold] " + escape(env_id) + "\n";
    output += "    - [bold]Is Port Opened? [/bold] " + truth(port_opened) + "\n";
    output += "    - [bold]Is Channel Available? [/bold] " + truth(channel_available) + "\n";
    output += "\n";
    output += "    [bold]Space Info[/bold]\n";
    output += "    - [bold]Sensor Space: [/bold] " + escape(sensor_space.to_string()) + "\n";
    output += "    - [bold]Action Space: [/bold] " + escape(action_space.to_string()) + "\n";
    output += "\n";
    output += "    [bold]Sensors[/bold]\n";
    output += "    ";
    for (const auto& sensor : norva_core::space_util::convert_space_to_json(sensor_space)) {
        output += "\tSensor(\"" + escape(sensor.at("name").get<std::string>()) + "\", \"\")\n";
    }
    return output;
}

nlohmann::ordered_json report_document(const std::string& address, const std::string& env_id,
                                       bool port_opened, bool channel_available,
                                       const norva_core::Space& sensor_space,
                                       const norva_core::Space& action_space) {
    auto sensors = nlohmann::ordered_json::array();
    for (const auto& sensor : norva_core::space_util::convert_space_to_json(sensor_space)) {
        sensors.push_back(sensor.at("name"));
    }
    return {{"address", address},
            {"env_id", env_id},
            {"port_opened", port_opened},
            {"channel_available", channel_available},
            {"sensor_space", sensor_space.json()},
            {"action_space", action_space.json()},
            {"sensors", std::move(sensors)}};
}

}  // namespace

void info(std::string address, std::string name, std::string env_id, bool json) {
    auto logger = norva_core::logger_util::get_logger("plover.info");
    if (address.empty() && name.empty()) {
        throw std::invalid_argument("Either address or sim must be provided");
    }
    std::optional<StartedContainer> container;
    std::optional<std::string> target = address;
    if (!name.empty()) {
        container.emplace(norva_core::docker_util::sim_start(name, false));
        auto record = norva_core::docker_util::get_info_container(container->id());
        target = record.contains("moniker") && record.at("moniker").is_string()
                     ? std::optional(record.at("moniker").get<std::string>())
                     : std::nullopt;
    }
    std::string shown = target.value_or("None");
    logger.debug("Getting sim info for '" + shown + "' and '" + env_id + "'");
    bool port_opened = norva_core::network_util::is_port_opened(target.value_or(""));
    bool channel_available = norva_core::grpc_util::is_channel_available(target.value_or(""));

    auto client = norva_core::sim::client::make(
        {"cli", "cli", env_id, nlohmann::ordered_json::object(), target.value_or("")});
    client->init();
    auto sensor_space = client->sensor_space();
    auto action_space = client->action_space();
    if (json) {
        console.print(report_document(shown, env_id, port_opened, channel_available, sensor_space,
                                      action_space));
    } else {
        print(report(shown, env_id, port_opened, channel_available, sensor_space, action_space));
    }
    client->close();
    if (container) {
        container->stop();
    }
}

const CommandTable INFO_COMMAND{
    "info",
    "Get more info about a running sim\n"
    "\n"
    "Args:\n"
    "address (str): The address of the sim\n"
    "env_id (str): The env id of the sim (e.g., \"InvertedPendulum-v4\")",
    {{"--address"}, {"--name"}, {"--env-id"}, JSON_FLAG}};

void info_command(const Values& values) {
    info(values.text("--address"), values.text("--name"), values.text("--env-id"),
         values.flag("--json"));
}

}  // namespace plover
