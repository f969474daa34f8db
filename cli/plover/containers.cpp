#include <stdexcept>

#include "commands.h"
#include "norva_core/docker_util.h"
#include "norva_core/markup.h"

namespace plover {

void start(std::string sim_container, bool enable_historian, bool stream, bool show_name) {
    auto result = norva_core::docker_util::sim_start(sim_container, enable_historian, !show_name);
    if (stream) {
        norva_core::docker_util::sim_logs(sim_container, true);
    } else {
        print(norva_core::markup::escape(result));
    }
}

void logs(std::string sim_id, bool stream) {
    norva_core::docker_util::sim_logs(sim_id, stream);
}

namespace {

// A record's "name": text, or absent (null counts as absent); anything else is an error.
OptionalText name_of(const norva_core::docker_util::Record& record) {
    if (!record.contains("name") || record.at("name").is_null()) {
        return std::nullopt;
    }
    if (!record.at("name").is_string()) {
        throw std::runtime_error("A running sim has a name that is not text: " +
                                 record.at("name").dump());
    }
    return record.at("name").get<std::string>();
}

}  // namespace

void stop(OptionalText sim_id) {
    if (sim_id) {
        norva_core::docker_util::stop(*sim_id);
        return;
    }
    console.log("Getting all sims to stop");
    auto running = norva_core::docker_util::sim_list_running();
    int idx = 0;
    {
        auto busy = console.status("Stopping all sims");
        for (const auto& record : running) {
            auto name = name_of(record);
            if (!name) {
                continue;
            }
            console.log("[" + std::to_string(idx + 1) + "/" + std::to_string(running.size()) +
                        "] stopping " + norva_core::markup::escape(*name));
            norva_core::docker_util::stop(*name);
            ++idx;
        }
    }
    console.log("Stopped all sims");
}

const CommandTable START_COMMAND{
    "start",
    "Start the given sim\n"
    "\n"
    "Args:\n"
    "sim_container (str): The sim container name to start\n"
    "enable_historian (bool, optional): Whether to enable the historian. Defaults to True.\n"
    "stream (bool, optional): Whether to stream the logs. Defaults to False.",
    {{"SIM_CONTAINER", "", std::nullopt, Form::text, true},
     {"--enable-historian,!--no-enable-historian", "", "on", Form::on_off},
     {"--stream,!--no-stream", "", "off", Form::on_off},
     {"--show-name,!--no-show-name", "", "off", Form::on_off}}};

void start_command(const Values& values) {
    start(values.text("SIM_CONTAINER"), values.flag("--enable-historian"), values.flag("--stream"),
          values.flag("--show-name"));
}

const CommandTable LOGS_COMMAND{"logs",
                                "Get the logs of the given sim",
                                {{"SIM_ID", "", std::nullopt, Form::text, true},
                                 {"--stream,!--no-stream", "", "off", Form::on_off}}};

void logs_command(const Values& values) {
    logs(values.text("SIM_ID"), values.flag("--stream"));
}

const CommandTable STOP_COMMAND{"stop",
                                "Stop the given sim or all sims.\n"
                                "\n"
                                "Args:\n"
                                "sim_id (str, optional): The sim id to stop.",
                                {{"--sim-id"}}};

void stop_command(const Values& values) {
    stop(values.given("--sim-id"));
}

}  // namespace plover
