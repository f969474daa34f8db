#include "norva_core/host_util.h"

#include <sys/utsname.h>
#include <unistd.h>

namespace norva_core::host_util {

std::string kernel_name() {
    utsname info{};
    if (uname(&info) != 0) {
        return {};
    }
    return info.sysname;
}

std::optional<std::uint64_t> memory_bytes() {
    long pages = ::sysconf(_SC_PHYS_PAGES);
    long page_size = ::sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

}  // namespace norva_core::host_util
