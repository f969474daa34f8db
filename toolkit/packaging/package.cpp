#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <vector>

#include "ignore_rules.h"
#include "norva_core/paths.h"
#include "norva_core/plugin_util.h"
#include "sim/common/manifest.h"

namespace norva_core::plugin_util {
namespace {

namespace fs = std::filesystem;

struct ArchiveDeleter {
    void operator()(archive* handle) const { archive_write_free(handle); }
};
struct EntryDeleter {
    void operator()(archive_entry* entry) const { archive_entry_free(entry); }
};

class PackagingError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The archive's file name: the sim's name and version, with anything a file name should not
// hold replaced.
std::string archive_name(const sim::Manifest& manifest) {
    std::string name = manifest.name + "-" + manifest.version;
    std::replace_if(
        name.begin(), name.end(),
        [](char c) {
            return !(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' ||
                     c == '_');
        },
        '_');
    return name + ".tar.gz";
}

class TarGzWriter {
  public:
    explicit TarGzWriter(const std::string& file) : handle_(archive_write_new()) {
        archive_write_add_filter_gzip(handle_.get());
        archive_write_set_format_pax_restricted(handle_.get());
        check(archive_write_open_filename(handle_.get(), file.c_str()), "cannot create " + file);
    }

    // Stores one entry as it is on disk; a symbolic link is stored as a link, never followed.
    void add(const fs::path& source, const std::string& name) {
        struct stat info {};
        if (lstat(source.c_str(), &info) != 0) {
            throw PackagingError("cannot read " + source.string() + ": " + std::strerror(errno));
        }
        std::unique_ptr<archive_entry, EntryDeleter> entry(archive_entry_new());
        archive_entry_copy_stat(entry.get(), &info);
        archive_entry_set_pathname(entry.get(), name.c_str());
        archive_entry_set_uid(entry.get(), 0);
        archive_entry_set_gid(entry.get(), 0);
        archive_entry_set_uname(entry.get(), "");
        archive_entry_set_gname(entry.get(), "");
        if (S_ISLNK(info.st_mode)) {
            archive_entry_set_symlink(entry.get(), fs::read_symlink(source).c_str());
            archive_entry_set_size(entry.get(), 0);
        } else if (!S_ISREG(info.st_mode)) {
            archive_entry_set_size(entry.get(), 0);
        }
        check(archive_write_header(handle_.get(), entry.get()), "cannot store " + name);
        if (S_ISREG(info.st_mode)) {
            copy_content(source, name);
        }
    }

    void close() { check(archive_write_close(handle_.get()), "cannot finish the archive"); }

  private:
    void copy_content(const fs::path& source, const std::string& name) {
        std::ifstream file(source, std::ios::binary);
        if (!file) {
            throw PackagingError("cannot read " + source.string());
        }
        std::vector<char> buffer(std::size_t{64} * 1024);
        while (file.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) ||
               file.gcount() > 0) {
            if (archive_write_data(handle_.get(), buffer.data(),
                                   static_cast<std::size_t>(file.gcount())) < 0) {
                check(ARCHIVE_FATAL, "cannot store " + name);
            }
        }
    }

    void check(int status, const std::string& what) {
        if (status < ARCHIVE_WARN) {
            const char* reason = archive_error_string(handle_.get());
            throw PackagingError(what + (reason != nullptr ? std::string(": ") + reason : ""));
        }
    }

    std::unique_ptr<archive, ArchiveDeleter> handle_;
};

// Folders, files and links below the folder, in name order, without what the rules leave out.
void add_folder(TarGzWriter& writer, const fs::path& root, const fs::path& folder,
                const packaging::IgnoreRules& rules) {
    std::vector<fs::directory_entry> entries(fs::directory_iterator(folder), {});
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.path() < b.path(); });
    for (const auto& entry : entries) {
        std::string relative = entry.path().lexically_relative(root).generic_string();
        auto type = entry.symlink_status().type();
        bool is_folder = type == fs::file_type::directory;
        if (rules.ignored(relative, is_folder)) {
            continue;
        }
        if (!is_folder && type != fs::file_type::regular && type != fs::file_type::symlink) {
            continue;  // sockets, pipes and devices mean nothing on another machine
        }
        writer.add(entry.path(), relative);
        if (is_folder) {
            add_folder(writer, root, entry.path(), rules);
        }
    }
}

}  // namespace

Package package(const std::string& path_abs) {
    auto manifest = sim::load_manifest(path_abs);
    auto rules = packaging::IgnoreRules::of_folder(path_abs);
    // The platform reads the sim from its manifest: an archive without one is no sim at all.
    if (rules.ignored(sim::MANIFEST_FILE, false)) {
        throw PackagingError(std::string("The ignore rules of .norvaignore leave the manifest ") +
                             sim::MANIFEST_FILE +
                             " out of the archive; change the rule that matches it");
    }
    paths::TemporaryFolder folder(paths::temp_dir(), "norva-package-");
    std::string file_name = archive_name(manifest);
    std::string archive_path = (fs::path(folder.path()) / file_name).string();
    TarGzWriter writer(archive_path);
    add_folder(writer, path_abs, path_abs, rules);
    writer.close();
    folder.keep();
    return {archive_path,         file_name,     manifest.name,
            manifest.description, manifest.type, manifest.version};
}

}  // namespace norva_core::plugin_util
