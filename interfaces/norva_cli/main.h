#pragma once

#include <string>

// What the root program offers the command groups.
// Implemented in app/sim_template.cpp.
namespace norva_cli::main::sim {

// Writes a new sim project, <location>/<name>/, from the installed template: its manifest, a
// working simulator program and a README; with Docker support also a Dockerfile. Either the
// whole project appears or nothing is written.
void create(const std::string& name, const std::string& description, const std::string& location,
            bool is_docker);

}  // namespace norva_cli::main::sim
