#include "commands.h"
#include "norva_core/errors.h"

namespace plover {

void start(std::string, bool, bool, bool) {
    throw norva_core::NotImplemented("norva sim start");
}

void logs(std::string, bool) {
    throw norva_core::NotImplemented("norva sim logs");
}

void stop(OptionalText) {
    throw norva_core::NotImplemented("norva sim stop");
}

}  // namespace plover
