#pragma once

#include <nlohmann/json.hpp>

#include "group.h"
#include "norva_core/sim_server.h"

namespace plover {

void validate(OptionalText path, OptionalText path_option, OptionalText address,
              std::string protocol);
// With is_print off (publishing) the issues are not printed; a faulty sim still fails.
void _validate(OptionalText path, OptionalText address, const std::string& protocol = "grpc",
               bool is_print = true);

void benchmark(OptionalText path, OptionalText path_option, OptionalText address,
               std::string samples);
void _benchmark(OptionalText path, OptionalText address, long samples);

void new_(std::string name, std::string description, std::string location, bool is_docker);

void run(std::string path, OptionalText path_option, std::string host, std::string port,
         std::string protocol, std::string env_init, OptionalText max_sessions = std::nullopt,
         OptionalText session_timeout = std::nullopt);
void _run(const std::string& path, const std::string& host, int port, const std::string& protocol,
          const nlohmann::ordered_json& env_init,
          const norva_core::sim::SessionLimits& limits = {});

void publish(std::string path, OptionalText path_option);
void _publish(const std::string& path);
// The kind sent with an upload: "zip" for a plain sim, otherwise the type without any "sim-".
std::string _sim_type(const std::string& plugin_type);

void list(bool local);
void _list();
void _list_docker();

void retrieve();
void _retrieve();

void start(std::string sim_container, bool enable_historian, bool stream, bool show_name);
void logs(std::string sim_id, bool stream);
void stop(OptionalText sim_id);

void status(OptionalText sim_name, bool moniker);
void status_all();

void info(std::string address, std::string name, std::string env_id);

void mappings(OptionalText image, OptionalText address);
// The variables of both spaces, or nothing when the image could not be started.
std::optional<nlohmann::ordered_json> _mappings(OptionalText image, OptionalText address);

}  // namespace plover
