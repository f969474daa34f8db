#include <charconv>
#include <cstdio>
#include <stdexcept>

#include "commands.h"
#include "norva_core/async_util.h"
#include "norva_core/markup.h"
#include "norva_core/serializer_json.h"
#include "norva_core/sim_server_util.h"
#include "norva_core/space_util.h"
#include "started_container.h"

namespace plover {
namespace {

using Json = nlohmann::ordered_json;

struct HostPort {
    std::string host;
    int port = 0;
};

// "host:port"; pieces after the second are ignored.
HostPort split_address(const std::string& address) {
    auto first = address.find(':');
    if (first == std::string::npos) {
        throw std::invalid_argument("The address '" + address +
                                    "' has no port; write it as host:port, e.g. localhost:1337");
    }
    auto second = address.find(':', first + 1);
    auto piece = address.substr(
        first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    HostPort split{address.substr(0, first)};
    auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), split.port);
    if (piece.empty() || error != std::errc{} || end != piece.data() + piece.size()) {
        throw std::invalid_argument("The port '" + piece + "' of the address '" + address +
                                    "' is not a whole number");
    }
    return split;
}

Json described(const norva_core::Space& space) {
    Json entry = Json::object();
    entry["space"] = space.to_string();
    entry["mappings"] = norva_core::space_util::convert_space_to_json(space);
    return entry;
}

}  // namespace

void mappings(OptionalText image, OptionalText address) {
    auto res = norva_core::async_util::async_to_sync(_mappings)(image, address);
    std::string text = norva_core::SerializerJson::serialize(res) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::optional<Json> _mappings(OptionalText image, OptionalText address) {
    if (!image && !address) {
        throw std::invalid_argument("Either image or address must be provided");
    }
    std::optional<StartedContainer> container;
    if (image) {
        try {
            container.emplace(
                norva_core::docker_util::start_container(*image, {{"1337/tcp", 1337}}));
        } catch (const std::exception&) {
            console.print("[red]Error: Could not start the container '" +
                          norva_core::markup::escape(*image) + "'");
            return std::nullopt;
        }
        address = "localhost:1337";
    }
    auto [host, port] = split_address(*address);
    auto client = norva_core::sim_server_util::create_client("grpc", "my-env-id", host, port);
    auto action_space = client->action_space_info();
    auto sensor_space = client->sensor_space_info();
    Json result = Json::object();
    result["action_space"] = described(action_space);
    result["sensor_space"] = described(sensor_space);
    client.reset();
    if (container) {
        container->stop();
    }
    return result;
}

const CommandTable MAPPINGS_COMMAND{
    "mappings",
    "Convert the Sensor and Action space to a JSON defining the variables that exist in those "
    "spaces",
    {{"--image"}, {"--address"}}};

void mappings_command(const Values& values) {
    mappings(values.given("--image"), values.given("--address"));
}

}  // namespace plover
