#pragma once

#include <optional>
#include <string>
#include <vector>

#include "norva_core/http.h"

namespace kestrel {

// What a registration gives: the new cluster's id, or the text of what went wrong.
struct RegistrationResult {
    std::optional<std::string> cluster_id;
    std::string error;
};

struct ClusterRegistration {
    bool managed = false;
    std::string name;
    std::string bearer;
    std::optional<std::string> stable_cluster_id;     // managed only
    std::vector<std::string> grant_organization_ids;  // managed only
    std::optional<std::string> organization_id;       // local only
};

// Registers the machine as a cluster. Never throws for ordinary failures: each becomes one of
// the error texts.
RegistrationResult _register_cluster(const ClusterRegistration& registration);

// The DELETE of a cluster, with the 15-second limit. Transport failures throw.
norva_core::http::Response _send_deregistration(const std::string& cluster_id,
                                                const std::string& bearer);

// Deregistration while cleaning up a failed connect: prints its warnings and never throws for
// ordinary failures.
void _deregister_cluster_quietly(const std::string& cluster_id, const std::string& bearer);

}  // namespace kestrel
