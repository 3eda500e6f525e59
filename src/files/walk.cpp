#include "files/walk.hpp"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>
#include <utility>

namespace veltrane::files {

namespace {

Entry::Kind kind_of_mode(mode_t mode) {
    return S_ISREG(mode) ? Entry::Kind::file : Entry::Kind::special;
}

} // namespace

std::string join(const std::string &dir, const std::string &name) {
    if (dir.empty() || dir.back() == '/') {
        return dir + name;
    }
    std::string out;
    out.reserve(dir.size() + 1 + name.size());
    out.append(dir).push_back('/');
    out.append(name);
    return out;
}

Walker::Walker(std::vector<std::string> paths) : paths_(std::move(paths)) {}

bool Walker::enter(const std::string &path, Entry &out) {
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr) {
        out = {path, Entry::Kind::error, errno};
        return true;
    }
    Dir d {path, {}, 0};
    errno = 0;
    while (const dirent *e = readdir(dir)) {
        const char *name = e->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) {
            continue;
        }
        d.entries.emplace_back(name, e->d_type);
    }
    const int failed = errno;
    closedir(dir);
    if (failed != 0) {
        out = {path, Entry::Kind::error, failed};
        return true;
    }
    std::sort(d.entries.begin(), d.entries.end());
    stack_.push_back(std::move(d));
    return false;
}

bool Walker::next(Entry &out) {
    for (;;) {
        if (stack_.empty()) {
            if (next_path_ == paths_.size()) {
                return false;
            }
            const std::string &path = paths_[next_path_++];
            struct stat st;
            if (stat(path.c_str(), &st) != 0) {
                out = {path, Entry::Kind::error, errno};
                return true;
            }
            if (!S_ISDIR(st.st_mode)) {
                out = {path, kind_of_mode(st.st_mode), 0};
                return true;
            }
            if (enter(path, out)) {
                return true;
            }
            continue;
        }
        Dir &top = stack_.back();
        if (top.next == top.entries.size()) {
            stack_.pop_back();
            continue;
        }
        const auto &[name, type] = top.entries[top.next++];
        std::string path = join(top.path, name);
        unsigned char t = type;
        if (t == DT_UNKNOWN) {
            struct stat st;
            if (lstat(path.c_str(), &st) != 0) {
                out = {std::move(path), Entry::Kind::error, errno};
                return true;
            }
            t = S_ISDIR(st.st_mode)   ? DT_DIR
                : S_ISLNK(st.st_mode) ? DT_LNK
                : S_ISREG(st.st_mode) ? DT_REG
                                      : DT_FIFO;
        }
        switch (t) {
        case DT_LNK:
            continue;
        case DT_DIR:
            if (enter(path, out)) {
                return true;
            }
            continue;
        case DT_REG:
            out = {std::move(path), Entry::Kind::file, 0};
            return true;
        default:
            out = {std::move(path), Entry::Kind::special, 0};
            return true;
        }
    }
}

} // namespace veltrane::files
