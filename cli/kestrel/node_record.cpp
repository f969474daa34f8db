#include "node_record.h"

namespace kestrel {

std::optional<std::string> _record_text(const nlohmann::ordered_json& record,
                                        const std::string& key) {
    auto found = record.find(key);
    if (found == record.end()) {
        return std::nullopt;
    }
    if (found->is_string()) {
        return found->get<std::string>();
    }
    if (found->is_number()) {
        return found->dump();
    }
    return std::nullopt;
}

}  // namespace kestrel
