#include "commands.h"
#include "norva_cli/main.h"

namespace plover {

void new_(std::string name, std::string description, std::string location, bool is_docker) {
    norva_cli::main::sim::create(name, description, location, is_docker);
}

}  // namespace plover
