#pragma once

namespace kestrel {

// Empties Redis of the previous session's job records, retrying while Redis starts up.
void _flush_stale_session_cache(int retries = 10, double delay_seconds = 1.0);

}  // namespace kestrel
