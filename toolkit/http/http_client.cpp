#include <curl/curl.h>
#include <fmt/format.h>

#include <cstdlib>
#include <memory>

#include "norva_core/http.h"
#include "norva_core/interrupt.h"

namespace norva_core::http {
namespace {

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct HeaderListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct MimeDeleter {
    void operator()(curl_mime* mime) const { curl_mime_free(mime); }
};

using Clock = std::chrono::steady_clock;

// What one transfer has moved so far, for its limits.
struct Transfer {
    const Request& request;
    Response& response;
    bool too_large = false;
    bool stalled = false;
    curl_off_t moved = 0;
    Clock::time_point last_moved = Clock::now();
};

std::size_t collect_body(char* data, std::size_t size, std::size_t count, void* target) {
    auto& transfer = *static_cast<Transfer*>(target);
    if (transfer.response.body.size() + size * count > transfer.request.max_response) {
        transfer.too_large = true;
        return 0;
    }
    transfer.response.body.append(data, size * count);
    return size * count;
}

int check_progress(void* target, curl_off_t, curl_off_t received, curl_off_t to_send,
                   curl_off_t sent) {
    auto& transfer = *static_cast<Transfer*>(target);
    if (interrupt::pending()) {
        return 1;
    }
    if (transfer.request.upload_progress) {
        transfer.request.upload_progress(
            static_cast<std::uint64_t>(std::max<curl_off_t>(sent, 0)),
            static_cast<std::uint64_t>(std::max<curl_off_t>(to_send, 0)));
    }
    auto now = Clock::now();
    if (received + sent != transfer.moved) {
        transfer.moved = received + sent;
        transfer.last_moved = now;
    } else if (transfer.request.stall_timeout &&
               now - transfer.last_moved > *transfer.request.stall_timeout) {
        transfer.stalled = true;
        return 1;
    }
    return 0;
}

std::unique_ptr<curl_mime, MimeDeleter> build_form(CURL* handle,
                                                   const std::vector<FormPart>& form) {
    std::unique_ptr<curl_mime, MimeDeleter> mime(curl_mime_init(handle));
    for (const auto& part : form) {
        curl_mimepart* field = curl_mime_addpart(mime.get());
        curl_mime_name(field, part.name.c_str());
        if (part.file_name) {
            curl_mime_filedata(field, part.value.c_str());
            curl_mime_filename(field, part.file_name->c_str());
        } else {
            curl_mime_data(field, part.value.c_str(), part.value.size());
        }
    }
    return mime;
}

}  // namespace

Response send(const Request& request) {
    std::unique_ptr<CURL, EasyDeleter> handle(curl_easy_init());
    if (!handle) {
        throw ClientError("cannot create an HTTP client");
    }
    CURL* curl = handle.get();
    Response response;
    char error_text[CURL_ERROR_SIZE] = {};

    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);
    Transfer transfer{request, response};
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, check_progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
    if (request.tls.ca_bundle) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, request.tls.ca_bundle->c_str());
    }
    if (request.total_timeout) {
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS,
                         static_cast<long>(request.total_timeout->count()));
    }
    if (request.connect_timeout) {
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(request.connect_timeout->count()));
    }

    std::unique_ptr<curl_slist, HeaderListDeleter> headers;
    for (const auto& [name, value] : request.headers) {
        std::string line = name + ": " + value;
        headers.reset(curl_slist_append(headers.release(), line.c_str()));
    }
    // An empty Expect keeps uploads from waiting on a "100 Continue" the server may never send.
    headers.reset(curl_slist_append(headers.release(), "Expect:"));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());

    std::unique_ptr<curl_mime, MimeDeleter> mime;
    if (!request.form.empty()) {
        mime = build_form(curl, request.form);
        curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime.get());
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    } else if (!request.body.empty() || request.method == "POST" || request.method == "PUT") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
    }

    CURLcode code = curl_easy_perform(curl);
    if (code == CURLE_ABORTED_BY_CALLBACK) {
        interrupt::throw_if_pending();
        if (transfer.stalled) {
            throw StalledError(fmt::format(
                "nothing arrived for {} s",
                std::chrono::duration_cast<std::chrono::seconds>(*request.stall_timeout).count()));
        }
    }
    if (transfer.too_large) {
        throw TooLargeError(
            fmt::format("the answer is larger than {} MiB", request.max_response >> 20));
    }
    if (code == CURLE_OPERATION_TIMEDOUT) {
        throw TimeoutError();
    }
    if (code != CURLE_OK) {
        throw ClientError(error_text[0] != '\0' ? error_text : curl_easy_strerror(code));
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
    return response;
}

}  // namespace norva_core::http
