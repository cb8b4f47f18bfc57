#include "inputs.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

#include "core/base/error.hpp"

namespace calcsift::cli {

namespace {

constexpr std::string_view kStem = "vasprun";

std::string os_error(int errnum) { return VasprunError::io_errno(errnum).display(); }

std::string join(const std::string& dir, const char* name) {
    return (!dir.empty() && dir.back() == '/') ? dir + name : dir + '/' + name;
}

// Every run record under `root` (a directory), unsorted. Directories are told
// apart by device and inode, so each is read once, whatever links lead to it;
// the tree itself is read before the directories that links lead to, so a file
// keeps its real path where it has one. Entries are taken in name order: which
// path reaches a directory first never depends on the order the system lists.
void walk(const std::string& root, std::vector<std::string>& found, Inputs& inputs,
          const std::function<void(const std::string&, const std::string&)>& report) {
    std::set<std::pair<dev_t, ino_t>> seen;
    std::vector<std::string> pending{root};  // stacks, the next on top
    std::vector<std::string> linked;
    while (!pending.empty() || !linked.empty()) {
        std::vector<std::string>& from = pending.empty() ? linked : pending;
        const std::string dir = std::move(from.back());
        from.pop_back();
        struct stat st {};
        const bool exists = ::stat(dir.c_str(), &st) == 0;
        if (!exists || !S_ISDIR(st.st_mode)) {  // gone or replaced meanwhile
            report(dir, os_error(exists ? ENOTDIR : errno));
            inputs.failed = true;
            continue;
        }
        if (!seen.emplace(st.st_dev, st.st_ino).second) continue;
        DIR* handle = ::opendir(dir.c_str());
        if (!handle) {
            report(dir, os_error(errno));
            inputs.failed = true;
            continue;
        }
        std::vector<std::string> dirs, links;
        int read_error = 0;
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(handle);
            if (!entry) {
                read_error = errno;
                break;
            }
            const char* name = entry->d_name;
            if (!std::strcmp(name, ".") || !std::strcmp(name, "..")) continue;
            const bool wanted = is_run_record_name(name);
            unsigned char type = entry->d_type;
            bool link = type == DT_LNK;
            if (type == DT_UNKNOWN) {  // a file system that does not tell the type
                struct stat own {};
                link = ::lstat(join(dir, name).c_str(), &own) == 0 && S_ISLNK(own.st_mode);
            }
            if (type == DT_LNK || type == DT_UNKNOWN) {
                struct stat target {};
                if (::stat(join(dir, name).c_str(), &target) != 0) {
                    // A dangling link under a run record's name: its read reports it.
                    if (wanted) found.push_back(join(dir, name));
                    continue;
                }
                type = S_ISDIR(target.st_mode) ? DT_DIR : S_ISREG(target.st_mode) ? DT_REG : DT_UNKNOWN;
            }
            // Pipes, sockets and devices are never opened: reading one could block.
            if (type == DT_DIR) (link ? links : dirs).push_back(join(dir, name));
            else if (type == DT_REG && wanted) found.push_back(join(dir, name));
        }
        ::closedir(handle);
        for (auto* list : {&dirs, &links}) std::sort(list->rbegin(), list->rend());
        pending.insert(pending.end(), dirs.begin(), dirs.end());
        linked.insert(linked.end(), links.begin(), links.end());
        if (read_error) {
            report(dir, os_error(read_error));
            inputs.failed = true;
        }
    }
}

}  // namespace

bool is_run_record_name(std::string_view name) noexcept {
    return name.starts_with(kStem) && name.find(".xml", kStem.size()) != std::string_view::npos;
}

Inputs expand_arguments(const std::vector<std::string>& args,
                        const std::function<void(const std::string&, const std::string&)>& report) {
    Inputs inputs;
    for (const std::string& arg : args) {
        struct stat st {};
        if (::stat(arg.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            inputs.files.push_back(arg);
            continue;
        }
        std::vector<std::string> found;
        walk(arg, found, inputs, report);
        if (found.empty()) report(arg, "no vasprun*.xml* file in this directory or below");
        std::sort(found.begin(), found.end());
        inputs.files.insert(inputs.files.end(), std::make_move_iterator(found.begin()),
                            std::make_move_iterator(found.end()));
    }
    return inputs;
}

}  // namespace calcsift::cli
