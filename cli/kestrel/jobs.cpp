#include "jobs.h"

#include <chrono>

#include "group.h"
#include "norva_core/http.h"
#include "norva_core/markup.h"
#include "norva_core/settings.h"
#include "norva_core/text_forms.h"

namespace kestrel {

void _shutdown_jobs() {
    namespace http = norva_core::http;
    http::Request request;
    request.method = "POST";
    request.url = std::string(COMPUTE_API_URL) + "/jobs/shutdown";
    // No overall limit: the service answers once every job's containers have stopped.
    request.connect_timeout =
        norva_core::settings::seconds_limit(norva_core::settings::Key::compute_connect_limit);
    try {
        auto response = http::send(request);
        if (response.status != 200) {
            console.print(
                "[yellow]Failed to shut down active jobs cleanly (" +
                std::to_string(response.status) +
                "): " + norva_core::markup::escape(norva_core::text_forms::excerpt(response.body)) +
                "[/yellow]");
        }
    } catch (const http::ClientError&) {
    } catch (const http::TimeoutError&) {
    }
}

}  // namespace kestrel
