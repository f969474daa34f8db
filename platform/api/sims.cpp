#include <filesystem>

#include "connection.h"
#include "norva_api/api.h"

namespace norva_api {
namespace {

std::string sims_path(const std::string& organization_uuid) {
    return "/organizations/" + url_segment(organization_uuid) + "/sims";
}

Record expect_record(const Record& answer, const std::string& request) {
    if (!answer.is_object()) {
        throw PlatformError("Platform request failed: " + request + ": expected a record");
    }
    return answer;
}

}  // namespace

std::vector<Record> APINoCode::Sims::list(const std::string& organization_uuid) const {
    auto path = sims_path(organization_uuid);
    return expect_list(connection->request("GET", path), "GET " + path);
}

Record APINoCode::Sims::retrieve(const std::string& organization_uuid,
                                 const std::string& sim_id) const {
    auto path = sims_path(organization_uuid) + "/" + url_segment(sim_id);
    return expect_record(connection->request("GET", path), "GET " + path);
}

std::optional<Record> APINoCode::Sims::get_by_name(const std::string& organization_uuid,
                                                   const std::string& name) const {
    auto path = sims_path(organization_uuid) + "?name=" + url_segment(name);
    auto found = expect_list(connection->request("GET", path), "GET " + path);
    if (found.empty()) {
        return std::nullopt;
    }
    return found.front();
}

Record APINoCode::Sims::create(const std::string& organization_uuid, const std::string& name,
                               const std::string& description) const {
    auto path = sims_path(organization_uuid);
    Record body{{"name", name}, {"description", description}};
    return expect_record(connection->request("POST", path, body.dump()), "POST " + path);
}

void APINoCode::Sims::create_impl(
    const std::string& organization_uuid, const std::string& sim_id,
    const std::string& archive_path, const std::string& sim_type,
    const std::function<void(std::uint64_t, std::uint64_t)>& progress) const {
    auto path = sims_path(organization_uuid) + "/" + url_segment(sim_id) + "/implementations";
    connection->upload(path,
                       {{"file", archive_path, std::filesystem::path(archive_path).filename()},
                        {"type", sim_type, std::nullopt}},
                       progress);
}

}  // namespace norva_api
