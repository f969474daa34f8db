#include "archive_listing.h"

#include <archive.h>
#include <archive_entry.h>

#include <memory>
#include <stdexcept>

namespace norva_test {

std::map<std::string, std::string> archive_entries(const std::string& tar_gz) {
    std::unique_ptr<archive, int (*)(archive*)> reader(archive_read_new(), archive_read_free);
    archive_read_support_filter_gzip(reader.get());
    archive_read_support_format_tar(reader.get());
    if (archive_read_open_memory(reader.get(), tar_gz.data(), tar_gz.size()) != ARCHIVE_OK) {
        throw std::runtime_error("not a .tar.gz: " +
                                 std::string(archive_error_string(reader.get())));
    }
    std::map<std::string, std::string> entries;
    archive_entry* entry = nullptr;
    while (archive_read_next_header(reader.get(), &entry) == ARCHIVE_OK) {
        std::string name = archive_entry_pathname(entry);
        auto type = archive_entry_filetype(entry);
        if (type == AE_IFDIR) {
            entries[name] = "<folder>";
        } else if (type == AE_IFLNK) {
            entries[name] = std::string("-> ") + archive_entry_symlink(entry);
        } else {
            std::string content;
            char buffer[4096];
            for (la_ssize_t got;
                 (got = archive_read_data(reader.get(), buffer, sizeof buffer)) > 0;) {
                content.append(buffer, static_cast<std::size_t>(got));
            }
            entries[name] = content;
        }
    }
    return entries;
}

}  // namespace norva_test
