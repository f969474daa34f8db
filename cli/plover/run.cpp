#include <chrono>
#include <stdexcept>

#include "commands.h"
#include "conversions.h"
#include "norva_core/async_util.h"
#include "norva_core/errors.h"
#include "norva_core/logger_util.h"
#include "norva_core/sim_server.h"

namespace plover {

namespace {

constexpr std::chrono::seconds DEFAULT_SESSION_TIMEOUT{300};

norva_core::sim::SessionLimits session_limits(const OptionalText& max_sessions,
                                              const OptionalText& session_timeout,
                                              const OptionalText& token_file) {
    norva_core::sim::SessionLimits limits;
    limits.max_sessions = norva_core::sim::default_max_sessions();
    if (max_sessions) {
        long count = _to_whole_number("--max-sessions", *max_sessions);
        if (count < 0) {
            throw std::invalid_argument("Invalid value for '--max-sessions': " + *max_sessions +
                                        " is not a count of sessions (0 for no limit).");
        }
        if (count == 0) {
            limits.max_sessions.reset();
        } else {
            limits.max_sessions = static_cast<std::size_t>(count);
        }
    }
    // A client that vanished without closing its sessions must not hold their simulators until
    // the server stops.
    limits.idle_timeout = DEFAULT_SESSION_TIMEOUT;
    if (session_timeout) {
        if (*session_timeout == "0") {
            limits.idle_timeout.reset();
        } else {
            limits.idle_timeout = _to_duration("--session-timeout", *session_timeout);
        }
    }
    limits.token = norva_core::sim::server_token(token_file);
    return limits;
}

int port_of(const char* option, const std::string& text) {
    long number = _to_whole_number(option, text);
    if (number < 1 || number > 65535) {
        throw std::invalid_argument(std::string("Invalid value for '") + option + "': " + text +
                                    " is not a port number (1 to 65535).");
    }
    return static_cast<int>(number);
}

}  // namespace

void run(std::string path, OptionalText path_option, std::string host, std::string port,
         std::string protocol, std::string env_init, const norva_core::sim::ServeOptions& options) {
    std::string final_path = _final_path(path, path_option).value_or(path);
    int port_number = port_of("--port", port);
    if (options.metrics_port == port_number) {
        throw std::invalid_argument("Invalid value for '--metrics-port': " +
                                    std::to_string(port_number) + " is the sim's own port.");
    }
    auto env_init_mapping = _to_mapping("--env-init", env_init);
    norva_core::async_util::async_to_sync(_run)(final_path, host, port_number, protocol,
                                                env_init_mapping, options);
}

void _run(const std::string& path, const std::string& host, int port, const std::string& protocol,
          const nlohmann::ordered_json& env_init, const norva_core::sim::ServeOptions& options) {
    auto logger = norva_core::logger_util::get_logger("plover.run");
    auto server =
        norva_core::sim::server::make_from_sim_path(path, host, port, env_init, protocol, options);
    try {
        server->start();
    } catch (const norva_core::Interrupted&) {
        logger.info("KeyboardInterrupt, Gracefully stopping the server");
    } catch (const std::exception& error) {
        logger.info(std::string("Unknown error: ") + error.what() +
                    ", Gracefully stopping the server");
    } catch (...) {
        server->stop();
        throw;
    }
    server->stop();
}

const CommandTable RUN_COMMAND{
    "run",
    "Try to run the sim situated in the given location",
    {{"PATH", "Path to the sim (positional argument)", "./"},
     {"--path", "Path to the sim (option)"},
     {"-h,--host", "Host to run the sim", "0.0.0.0"},
     {"--port", "Port to run the sim", "1337"},
     {"-p,--protocol", "Protocol to run the sim (grpc, http)", "grpc"},
     {"-e,--env-init", "Environment init", "{}"},
     {"--max-sessions",
      "Most sessions open at once; more are refused (default: one for each 64 MiB of memory, at "
      "least 64, and no more than the open-file limit allows, two files each; 0: no limit)"},
     {"--session-timeout",
      "Seconds a session may go without a call before it is closed (default: 300; 0: never)"},
     {"--metrics-port", "Also serve GET /metrics (Prometheus) over plain HTTP on this port"},
     {"--token-file",
      "Require every call but the health probe to carry the token in this file (default: "
      "NORVA_SIM_TOKEN, when set)"}}};

void run_command(const Values& values) {
    norva_core::sim::ServeOptions options;
    if (auto metrics_port = values.given("--metrics-port")) {
        options.metrics_port = port_of("--metrics-port", *metrics_port);
    }
    options.limits =
        session_limits(values.given("--max-sessions"), values.given("--session-timeout"),
                       values.given("--token-file"));
    run(values.text("PATH"), values.given("--path"), values.text("--host"), values.text("--port"),
        values.text("--protocol"), values.text("--env-init"), options);
}

}  // namespace plover
