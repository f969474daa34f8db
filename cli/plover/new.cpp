#include "commands.h"
#include "norva_core/errors.h"

namespace plover {

void new_(std::string, std::string, std::string, bool) {
    throw norva_core::NotImplemented("norva sim new");
}

}  // namespace plover
