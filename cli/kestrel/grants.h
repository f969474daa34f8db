#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// The first field of every CSV row (standard quoting), whitespace trimmed, empty ones skipped.
std::vector<std::string> _first_csv_fields(std::string_view csv_text);

// The organization UUIDs of a grants file; a file that cannot be read as text is an error
// naming it.
std::vector<std::string> _read_grant_org_ids(const std::string& path);

}  // namespace kestrel
