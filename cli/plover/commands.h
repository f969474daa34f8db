#pragma once

#include "norva_core/sim_validator_util.h"

#include <nlohmann/json.hpp>

#include "group.h"
#include "norva_core/sim_server.h"

namespace plover {

// Each command's table and the entry that hands its values on, beside the command.
extern const CommandTable VALIDATE_COMMAND, BENCHMARK_COMMAND, NEW_COMMAND, RUN_COMMAND,
    PUBLISH_COMMAND, LIST_COMMAND, RETRIEVE_COMMAND, START_COMMAND, LOGS_COMMAND, STOP_COMMAND,
    STATUS_COMMAND, INFO_COMMAND, MAPPINGS_COMMAND;
void validate_command(const Values& values);
void benchmark_command(const Values& values);
void new_command(const Values& values);
void run_command(const Values& values);
void publish_command(const Values& values);
void list_command(const Values& values);
void retrieve_command(const Values& values);
void start_command(const Values& values);
void logs_command(const Values& values);
void stop_command(const Values& values);
void status_command(const Values& values);
void info_command(const Values& values);
void mappings_command(const Values& values);

void validate(OptionalText path, OptionalText path_option, OptionalText address,
              std::string protocol, bool json = false,
              const norva_core::sim_validator_util::ValidationOptions& options = {});
// With is_print off (publishing) the issues are not printed; a faulty sim still fails. With
// json the findings are one JSON document instead of lines.
void _validate(OptionalText path, OptionalText address, const std::string& protocol = "grpc",
               bool is_print = true, bool json = false,
               const norva_core::sim_validator_util::ValidationOptions& options = {});

// How a benchmark reports beyond the rate line.
struct BenchmarkReport {
    long warmup = 0;
    // Simulators stepped together as one vector; one steps a single session.
    long envs = 1;
    bool latency = false;
    bool json = false;
};

void benchmark(OptionalText path, OptionalText path_option, OptionalText address,
               std::string samples, const BenchmarkReport& report = {});
void _benchmark(OptionalText path, OptionalText address, long samples,
                const BenchmarkReport& report = {});

void new_(std::string name, std::string description, std::string location, bool is_docker);
// The name, description and location of a new sim: as given, else asked for in that order.
std::vector<std::string> _asked_texts(const Values& values);

// Options beyond the Part's own parameters come converted and checked, as one value.
void run(std::string path, OptionalText path_option, std::string host, std::string port,
         std::string protocol, std::string env_init,
         const norva_core::sim::ServeOptions& options = {});
void _run(const std::string& path, const std::string& host, int port, const std::string& protocol,
          const nlohmann::ordered_json& env_init,
          const norva_core::sim::ServeOptions& options = {});

void publish(std::string path, OptionalText path_option);
void _publish(const std::string& path);
// The kind sent with an upload: "zip" for a plain sim, otherwise the type without any "sim-".
std::string _sim_type(const std::string& plugin_type);

void list(bool local, bool json = false);
void _list(bool json = false);
void _list_docker(bool json = false);

void retrieve();
void _retrieve();

void start(std::string sim_container, bool enable_historian, bool stream, bool show_name);
void logs(std::string sim_id, bool stream);
void stop(OptionalText sim_id);

void status(OptionalText sim_name, bool moniker, bool json = false);
// With json a failure ends the command instead of being logged, so that scripts see it.
void status_all(bool json = false);

void info(std::string address, std::string name, std::string env_id, bool json = false);

void mappings(OptionalText image, OptionalText address);
// The variables of both spaces, or nothing when the image could not be started.
std::optional<nlohmann::ordered_json> _mappings(OptionalText image, OptionalText address);

}  // namespace plover
