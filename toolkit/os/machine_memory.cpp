// The machine's memory, asked the way each system answers it: the Linux memory file, or
// macOS's sysctl tool. Both readers are built on every system, since the compute group picks
// one by the kernel name it was given.
#include <charconv>
#include <fstream>
#include <limits>
#include <sstream>

#include "norva_core/host_util.h"
#include "norva_core/process.h"
#include "norva_core/text_forms.h"

namespace norva_core::host_util {
namespace {

std::optional<std::uint64_t> whole_number(std::string_view text) {
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint64_t> sysctl_total_bytes() {
    auto result = process::run({"sysctl", "-n", "hw.memsize"});
    return whole_number(text_forms::trimmed(result.out));
}

std::optional<std::uint64_t> meminfo_file_total_bytes(const std::string& meminfo_path) {
    std::ifstream file(meminfo_path);
    if (!file) {
        return std::nullopt;
    }
    std::stringstream text;
    text << file.rdbuf();
    return meminfo_total_bytes(text.str());
}

}  // namespace

std::optional<std::uint64_t> meminfo_total_bytes(std::string_view meminfo_text) {
    std::istringstream lines{std::string(meminfo_text)};
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("MemTotal:")) {
            continue;
        }
        std::istringstream fields(line);
        std::string label, kibibytes;
        fields >> label >> kibibytes;
        auto value = whole_number(kibibytes);
        if (!value || *value > std::numeric_limits<std::uint64_t>::max() / 1024) {
            return std::nullopt;
        }
        return *value * 1024;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> memory_bytes_for(std::string_view kernel,
                                              const std::string& meminfo_path) {
    try {
        if (kernel == "Darwin") {
            return sysctl_total_bytes();
        }
        if (kernel == "Linux") {
            return meminfo_file_total_bytes(meminfo_path);
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

std::optional<std::uint64_t> memory_bytes() {
    return memory_bytes_for(kernel_name(), "/proc/meminfo");
}

}  // namespace norva_core::host_util
