#pragma once

#include <optional>
#include <string>
#include <vector>

#include "norva_api/api.h"

namespace plover {

using norva_api::Record;

// The organization the user picks. Cancelling the picker ends the command (status 1) before
// anything else happens.
Record _select_organization(const norva_api::APINoCode& client);

// A record's identifier or name as text: text as it is, a whole number written out. A missing
// key, or a value of another kind, is an error naming the key.
std::string _record_text(const Record& record, const char* key);

// The record's "versions", newest first by the whole-number value of each "version" (default
// "1"). Versions that are not whole numbers come last; equal ones keep the platform's order.
std::vector<Record> _newest_first(const Record& sim);

// A version record's "version" as text (default "1").
std::string _version_text(const Record& version);

}  // namespace plover
