#pragma once

namespace kestrel {

// Asks the local compute service to cancel every job and waits until it has. Reports an error
// reply; a service that is not there, or any transport failure, is silent.
void _shutdown_jobs();

}  // namespace kestrel
