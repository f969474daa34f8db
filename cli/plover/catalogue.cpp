#include "catalogue.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>

#include "group.h"
#include "norva_core/errors.h"

namespace plover {
namespace {

// Whole numbers as Python's int() reads them from a version: a number (fractions dropped) or
// its text, surrounding spaces allowed.
std::optional<long long> whole_number(const Record& value) {
    if (value.is_number_integer()) {
        return value.get<long long>();
    }
    if (value.is_number_float()) {
        double number = value.get<double>();
        return std::isfinite(number) ? std::optional(static_cast<long long>(number)) : std::nullopt;
    }
    if (!value.is_string()) {
        return std::nullopt;
    }
    const auto& text = value.get_ref<const std::string&>();
    auto first = text.find_first_not_of(" \t");
    auto last = text.find_last_not_of(" \t");
    if (first == std::string::npos) {
        return std::nullopt;
    }
    const char* begin = text.data() + first;
    const char* end = text.data() + last + 1;
    if (*begin == '+') {
        ++begin;
    }
    long long number = 0;
    auto [stop, error] = std::from_chars(begin, end, number);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return number;
}

Record version_of(const Record& version) {
    return version.is_object() && version.contains("version") ? version.at("version") : Record("1");
}

}  // namespace

Record _select_organization(const norva_api::APINoCode& client) {
    auto organization = client.organizations.cli_select();
    if (!organization) {
        print("[yellow]No organization selected.[/yellow]");
        throw norva_core::ExitRequest{1};
    }
    return *organization;
}

std::string _record_text(const Record& record, const char* key) {
    if (!record.is_object() || !record.contains(key)) {
        throw std::out_of_range(std::string("The platform's record has no \"") + key + "\"");
    }
    const auto& value = record.at(key);
    if (value.is_string()) {
        return value.get<std::string>();
    }
    if (value.is_number_integer()) {
        return value.dump();
    }
    throw std::invalid_argument(std::string("The platform's \"") + key +
                                "\" is not text: " + value.dump());
}

std::vector<Record> _newest_first(const Record& sim) {
    if (!sim.is_object() || !sim.contains("versions") || sim.at("versions").is_null()) {
        return {};
    }
    const auto& versions = sim.at("versions");
    if (!versions.is_array()) {
        throw std::invalid_argument("The platform's \"versions\" is not a list: " +
                                    versions.dump());
    }
    std::vector<Record> sorted(versions.begin(), versions.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](const Record& a, const Record& b) {
        auto left = whole_number(version_of(a));
        auto right = whole_number(version_of(b));
        if (!left || !right) {
            return left.has_value() && !right.has_value();
        }
        return *left > *right;
    });
    return sorted;
}

std::string _version_text(const Record& version) {
    Record value = version_of(version);
    return value.is_string() ? value.get<std::string>() : value.dump();
}

}  // namespace plover
