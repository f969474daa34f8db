#include "norva_core/serializer_json.h"

namespace norva_core {

std::string SerializerJson::serialize(const std::optional<nlohmann::ordered_json>& value) {
    return value ? value->dump(2) : "null";
}

}  // namespace norva_core
