#include <stdexcept>

#include "commands.h"
#include "conversions.h"
#include "norva_core/async_util.h"
#include "norva_core/sim_server_util.h"
#include "norva_core/text_forms.h"

namespace plover {

void benchmark(OptionalText path, OptionalText path_option, OptionalText address,
               std::string samples) {
    long sample_count = _to_whole_number("--samples", samples);
    // A rate over no steps at all would divide by nothing.
    if (sample_count <= 0) {
        throw std::invalid_argument("Invalid value for '--samples': " + samples +
                                    " is not a positive number of samples.");
    }
    norva_core::async_util::async_to_sync(_benchmark)(_final_path(path, path_option), address,
                                                      sample_count);
}

void _benchmark(OptionalText path, OptionalText address, long samples) {
    std::string target = _target(path, address);
    double rate = norva_core::sim_server_util::benchmark(target, samples);
    print("Samples per second: " + norva_core::text_forms::float_repr(rate));
}

}  // namespace plover
