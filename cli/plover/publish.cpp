#include <filesystem>
#include <system_error>

#include "catalogue.h"
#include "commands.h"
#include "norva_core/async_util.h"
#include "norva_core/logger_util.h"
#include "norva_core/plugin_util.h"
#include "norva_core/settings.h"

namespace plover {
namespace {

namespace fs = std::filesystem;

// Removes the archive's folder however publishing ends; a removal that fails is let go.
class RemovedAtEnd {
  public:
    explicit RemovedAtEnd(fs::path folder) : folder_(std::move(folder)) {}
    ~RemovedAtEnd() {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    RemovedAtEnd(const RemovedAtEnd&) = delete;
    RemovedAtEnd& operator=(const RemovedAtEnd&) = delete;

  private:
    fs::path folder_;
};

std::string absolute_normalised(const std::string& path) {
    auto normal = fs::absolute(path).lexically_normal();
    if (!normal.has_filename() && normal.has_parent_path() && normal != normal.root_path()) {
        normal = normal.parent_path();
    }
    return normal.string();
}

}  // namespace

std::string _sim_type(const std::string& plugin_type) {
    if (plugin_type == "sim") {
        return "zip";
    }
    std::string sim_type = plugin_type;
    for (auto at = sim_type.find("sim-"); at != std::string::npos; at = sim_type.find("sim-", at)) {
        sim_type.erase(at, 4);
    }
    return sim_type;
}

void publish(std::string path, OptionalText path_option) {
    norva_core::async_util::async_to_sync(_publish)(_final_path(path, path_option).value_or(path));
}

void _publish(const std::string& path) {
    auto logger = norva_core::logger_util::get_logger("plover.publish");
    logger.info("Validating the sim...");
    _validate(path, std::nullopt, "grpc", false);
    logger.info("Simulator validated successfully!");
    std::string path_abs = absolute_normalised(path);

    norva_api::APINoCode client(norva_core::settings::URL_API() + "/v1");
    auto organization = _select_organization(client);
    logger.info("Preparing to publish the simulator...");
    auto package = norva_core::plugin_util::package(path_abs);
    RemovedAtEnd archive_folder(fs::path(package.archive_path).parent_path());

    auto sim = client.sims.get_by_name(_record_text(organization, "uuid"), package.name);
    logger.info("Publishing the simulator...");
    if (!sim || sim->is_null() || sim->empty()) {
        sim = client.sims.create(_record_text(organization, "uuid"), package.name,
                                 package.description);
    }
    {
        norva_core::console::Progress bar(console, "Uploading",
                                          norva_core::console::ProgressUnit::bytes);
        client.sims.create_impl(
            _record_text(organization, "uuid"), _record_text(*sim, "id"), package.archive_path,
            _sim_type(package.type),
            [&bar](std::uint64_t sent, std::uint64_t total) { bar.update(sent, total); });
    }
    logger.info("Simulator published successfully!");
}

const CommandTable PUBLISH_COMMAND{"publish",
                                   "Publish a Simulator and upload it",
                                   {{"PATH", "Path to the Simulator (positional argument)", "./"},
                                    {"-p,--path", "Path to the Simulator (option)"}}};

void publish_command(const Values& values) {
    publish(values.text("PATH"), values.given("--path"));
}

}  // namespace plover
