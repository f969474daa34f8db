#include "norva_core/host_util.h"

#include <sys/utsname.h>

namespace norva_core::host_util {

std::string kernel_name() {
    utsname info{};
    if (uname(&info) != 0) {
        return {};
    }
    return info.sysname;
}

}  // namespace norva_core::host_util
