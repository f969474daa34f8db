#include "commands.h"
#include "norva_core/errors.h"

namespace plover {

void info(std::string, std::string, std::string) {
    throw norva_core::NotImplemented("norva sim info");
}

}  // namespace plover
