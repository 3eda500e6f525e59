#include "store/scan.hpp"

#include "common/wait.hpp"
#include "files/walk.hpp"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>

namespace veltrane::store {

namespace {

int64_t nanoseconds(const struct timespec &t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The names in an open directory, sorted by their bytes; false with errno on failure.
bool list(int fd, std::vector<std::string> &names) {
    std::vector<std::pair<std::string, unsigned char>> entries;
    if (!files::list_entries(fd, entries)) {
        return false;
    }
    names.reserve(entries.size());
    for (auto &e : entries) {
        names.push_back(std::move(e.first));
    }
    std::sort(names.begin(), names.end());
    return true;
}

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A link's target read whole; false with errno on failure. lstat gives the target's length,
// but some file systems report 0: grow until a read leaves room to spare, which proves the
// target whole.
bool read_link(int dir, const char *name, const struct stat &st, std::string &target) {
    target.assign(std::max<std::size_t>(static_cast<std::size_t>(st.st_size) + 1, 64), '\0');
    for (;;) {
        const ssize_t n = readlinkat(dir, name, target.data(), target.size());
        if (n < 0) {
            return false;
        }
        if (static_cast<std::size_t>(n) < target.size()) {
            target.resize(static_cast<std::size_t>(n));
            return true;
        }
        target.resize(target.size() * 2);
    }
}

// A tree's directories listed and their entries looked at on several threads, before the
// walk that records them: the system calls are nearly all of a walk's time, and a tree's
// directories can be listed in any order. What is recorded, and in what order, is left to
// the one-thread walk over the results, so it is the same as without them.
class Prefetch {
public:
    struct Node;
    struct Entry {
        std::string name;
        struct stat st;
        int err = 0;      // fstatat's errno
        int link_err = 0; // readlinkat's, for a symbolic link
        std::string target;
        Node *child = nullptr; // a directory's own listing
    };
    struct Node {
        int err = 0; // opening or listing it failed
        std::vector<Entry> entries;
    };

    Prefetch(uint64_t exclude_dev, uint64_t exclude_ino)
        : exclude_dev_(exclude_dev), exclude_ino_(exclude_ino) {}

    // Lists the directory `name` under `dir` and everything below it on `threads` threads.
    Node *run(int dir, const char *name, int threads) {
        nodes_.emplace_back();
        Node *root = &nodes_.back();
        const int fd = openat(dir, name, kDirFlags);
        if (fd < 0) {
            root->err = errno;
            return root;
        }
        queue_.push_back({root, std::make_shared<Fd>(fd), {}});
        std::vector<std::thread> team;
        for (int t = 1; t < threads; ++t) {
            team.emplace_back([this] { work(); });
        }
        work();
        for (auto &t : team) {
            t.join();
        }
        if (failed_) {
            std::rethrow_exception(failed_);
        }
        return root;
    }

private:
    // A directory open for its children to be opened from, closed when the last is.
    struct Fd {
        int fd;
        explicit Fd(int f) : fd(f) {}
        Fd(const Fd &) = delete;
        Fd &operator=(const Fd &) = delete;
        ~Fd() {
            close(fd);
        }
    };
    // A directory to list: opened already (the root), or `name` under `parent`.
    struct Task {
        Node *node;
        std::shared_ptr<Fd> parent;
        std::string name;
    };

    void work() {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            wait_for_true(ready_, hold, [&] { return !queue_.empty() || busy_ == 0; });
            if (queue_.empty()) {
                ready_.notify_all();
                return;
            }
            // Last in, first out: a thread stays near where it was, in the caches.
            Task task = std::move(queue_.back());
            queue_.pop_back();
            ++busy_;
            hold.unlock();
            std::vector<Task> found;
            try {
                list(task, found);
            } catch (...) { // out of memory: the first failure is thrown once all have stopped
                const std::lock_guard<std::mutex> failing(lock_);
                if (!failed_) {
                    failed_ = std::current_exception();
                }
                found.clear();
            }
            task.parent.reset();
            hold.lock();
            for (Task &t : found) {
                queue_.push_back(std::move(t));
            }
            --busy_;
            ready_.notify_all();
        }
    }

    void list(Task &task, std::vector<Task> &found) {
        Node &node = *task.node;
        std::shared_ptr<Fd> fd = task.parent;
        if (!task.name.empty()) {
            const int opened = openat(task.parent->fd, task.name.c_str(), kDirFlags);
            if (opened < 0) {
                node.err = errno;
                return;
            }
            fd = std::make_shared<Fd>(opened);
        }
        std::vector<std::string> names;
        if (!veltrane::store::list(fd->fd, names)) {
            node.err = errno;
            return;
        }
        node.entries.resize(names.size());
        std::vector<Entry *> dirs;
        for (std::size_t i = 0; i < names.size(); ++i) {
            Entry &e = node.entries[i];
            e.name = std::move(names[i]);
            if (fstatat(fd->fd, e.name.c_str(), &e.st, AT_SYMLINK_NOFOLLOW) != 0) {
                e.err = errno;
                continue;
            }
            if (S_ISLNK(e.st.st_mode)) {
                if (!read_link(fd->fd, e.name.c_str(), e.st, e.target)) {
                    e.link_err = errno;
                }
            } else if (S_ISDIR(e.st.st_mode) &&
                       !(static_cast<uint64_t>(e.st.st_dev) == exclude_dev_ &&
                         static_cast<uint64_t>(e.st.st_ino) == exclude_ino_)) {
                dirs.push_back(&e);
            }
        }
        if (dirs.empty()) {
            return;
        }
        {
            // A deque's elements stay where they are as it grows.
            const std::lock_guard<std::mutex> hold(lock_);
            for (Entry *e : dirs) {
                nodes_.emplace_back();
                e->child = &nodes_.back();
            }
        }
        // Pushed in reverse, so that the first directory is the next one taken.
        for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) {
            found.push_back({(*it)->child, fd, (*it)->name});
        }
    }

    uint64_t exclude_dev_, exclude_ino_;
    std::mutex lock_;
    std::condition_variable ready_;
    std::vector<Task> queue_;
    int busy_ = 0;
    std::deque<Node> nodes_;
    std::exception_ptr failed_;
};

class Scanner {
public:
    Scanner(uint64_t exclude_dev, uint64_t exclude_ino, bool track, int threads)
        : exclude_dev_(exclude_dev), exclude_ino_(exclude_ino), track_(track), threads_(threads) {}

    void source(const std::string &path);
    Scan out;

private:
    struct Frame {
        std::string path, rel;
        int fd;
        std::vector<std::string> names;
        std::size_t next = 0;
    };

    void row(const std::string &rel, char kind, const struct stat *st, std::string target) {
        out.rel.push_back(rel);
        out.kind.push_back(kind);
        const bool full = st != nullptr && kind != kHardlink;
        const bool file = full && kind == kFile;
        out.mode.push_back(full ? static_cast<int64_t>(st->st_mode & 07777) : 0);
        out.mtime_ns.push_back(full ? nanoseconds(st->st_mtim) : 0);
        out.uid.push_back(full ? static_cast<int64_t>(st->st_uid) : 0);
        out.gid.push_back(full ? static_cast<int64_t>(st->st_gid) : 0);
        out.size.push_back(file ? static_cast<int64_t>(st->st_size) : 0);
        out.ctime_ns.push_back(file ? nanoseconds(st->st_ctim) : 0);
        out.ino.push_back(file ? static_cast<int64_t>(st->st_ino) : 0);
        out.target.push_back(std::move(target));
    }

    // Records one entry looked at with lstat; true when it is a directory to walk into.
    // `dir` and `name` reach it (dir is AT_FDCWD for a whole path); `parent` + "/" + `name`
    // is its path on disk, only ever built for an error (`parent` is null for a whole path).
    // `pre`: the entry as listed ahead, whose link target was read there.
    bool visit(int dir,
               const char *name,
               const std::string *parent,
               const std::string &rel,
               const struct stat &st,
               const Prefetch::Entry *pre = nullptr);
    std::string path_of(const std::string *parent, const char *name) const {
        if (parent == nullptr) {
            return name;
        }
        return *parent == "/" ? "/" + std::string(name) : *parent + "/" + name;
    }
    void walk(const std::string &path, const std::string &rel, int dir, const char *name);
    // The same walk over what a Prefetch listed.
    void walk_listed(const std::string &path, const std::string &rel, int dir, const char *name);

    uint64_t exclude_dev_, exclude_ino_;
    bool track_; // several sources: every path recorded is remembered
    int threads_;
    std::unordered_set<std::string> seen_;
    std::unordered_set<std::string> above_; // recorded as a source's parent, not walked yet
    std::map<std::pair<uint64_t, uint64_t>, std::string> links_;
};

bool Scanner::visit(int dir,
                    const char *name,
                    const std::string *parent,
                    const std::string &rel,
                    const struct stat &st,
                    const Prefetch::Entry *pre) {
    if (static_cast<uint64_t>(st.st_dev) == exclude_dev_ &&
        static_cast<uint64_t>(st.st_ino) == exclude_ino_) {
        return false;
    }
    const mode_t mode = st.st_mode;
    // Within one source every path is new; only sources that overlap can meet again. A
    // directory recorded only as the parent of an earlier source is walked now, not recorded
    // twice: skipping it would lose everything else it holds.
    if (track_) {
        if (above_.erase(rel) != 0) {
            return S_ISDIR(mode);
        }
        if (!seen_.insert(rel).second) {
            return false;
        }
    }
    if (S_ISDIR(mode)) {
        row(rel, kDir, &st, {});
        return true;
    }
    if (S_ISLNK(mode)) {
        std::string target;
        if (pre != nullptr ? pre->link_err != 0 : !read_link(dir, name, st, target)) {
            out.errors.emplace_back(path_of(parent, name), pre != nullptr ? pre->link_err : errno);
            return false;
        }
        row(rel, kLink, &st, pre != nullptr ? pre->target : std::move(target));
        return false;
    }
    if (S_ISREG(mode)) {
        if (st.st_nlink > 1) {
            const auto key =
                std::make_pair(static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino));
            const auto [at, fresh] = links_.emplace(key, rel);
            if (!fresh) {
                row(rel, kHardlink, nullptr, at->second);
                return false;
            }
        }
        row(rel, kFile, &st, {});
        return false;
    }
    ++out.special;
    return false;
}

// Walks the directory just recorded as `rel`, depth first without recursion: a tree may be
// deeper than any stack.
void Scanner::walk(const std::string &path, const std::string &rel, int dir, const char *name) {
    if (threads_ > 1 && !track_) {
        walk_listed(path, rel, dir, name);
        return;
    }
    std::vector<Frame> stack;
    const auto enter = [&](const std::string &p, const std::string &r, int d, const char *n) {
        const int fd = openat(d, n, kDirFlags);
        if (fd < 0) {
            out.errors.emplace_back(p, errno);
            return;
        }
        Frame f {p, r, fd, {}, 0};
        if (!list(fd, f.names)) {
            out.errors.emplace_back(p, errno);
            close(fd);
            return;
        }
        stack.push_back(std::move(f));
    };
    enter(path, rel, dir, name);
    while (!stack.empty()) {
        Frame &top = stack.back();
        if (top.next == top.names.size()) {
            close(top.fd);
            stack.pop_back();
            continue;
        }
        const std::string &child = top.names[top.next++];
        std::string child_rel = top.rel.empty() ? child : top.rel + "/" + child;
        struct stat st;
        if (fstatat(top.fd, child.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            out.errors.emplace_back(path_of(&top.path, child.c_str()), errno);
            continue;
        }
        if (visit(top.fd, child.c_str(), &top.path, child_rel, st)) {
            // `top` may move when the stack grows: what it lends is copied first.
            const int fd = top.fd;
            const std::string name_copy = child;
            enter(path_of(&top.path, child.c_str()), child_rel, fd, name_copy.c_str());
        }
    }
}

void Scanner::walk_listed(const std::string &path,
                          const std::string &rel,
                          int dir,
                          const char *name) {
    Prefetch listed(exclude_dev_, exclude_ino_);
    struct Listed {
        std::string path, rel;
        const Prefetch::Node *node;
        std::size_t next = 0;
    };
    std::vector<Listed> stack;
    const auto enter = [&](const std::string &p, const std::string &r, const Prefetch::Node *n) {
        if (n->err != 0) {
            out.errors.emplace_back(p, n->err);
            return;
        }
        stack.push_back({p, r, n, 0});
    };
    enter(path, rel, listed.run(dir, name, threads_));
    while (!stack.empty()) {
        Listed &top = stack.back();
        if (top.next == top.node->entries.size()) {
            stack.pop_back();
            continue;
        }
        const Prefetch::Entry &e = top.node->entries[top.next++];
        std::string child_rel = top.rel.empty() ? e.name : top.rel + "/" + e.name;
        if (e.err != 0) {
            out.errors.emplace_back(path_of(&top.path, e.name.c_str()), e.err);
            continue;
        }
        if (visit(-1, e.name.c_str(), &top.path, child_rel, e.st, &e) && e.child != nullptr) {
            // `top` may move when the stack grows: what it lends is copied first.
            std::string child_path = path_of(&top.path, e.name.c_str());
            enter(child_path, child_rel, e.child);
        }
    }
}

void Scanner::source(const std::string &path) {
    const std::string rel = path.substr(path.find_first_not_of('/') == std::string::npos
                                            ? path.size()
                                            : path.find_first_not_of('/'));
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        out.errors.emplace_back(path, errno);
        return;
    }
    // The directories above the source, as stat sees them, so that a restore recreates them
    // with their modes and times.
    for (std::size_t at = rel.find('/'); at != std::string::npos; at = rel.find('/', at + 1)) {
        const std::string above = rel.substr(0, at);
        if (seen_.count(above) != 0) {
            continue;
        }
        struct stat a;
        if (stat(("/" + above).c_str(), &a) != 0) {
            out.errors.emplace_back("/" + above, errno);
            continue;
        }
        seen_.insert(above);
        above_.insert(above);
        row(above, kDir, &a, {});
    }
    if (rel.empty()) { // the root itself: its children, as top-level entries
        seen_.insert(rel);
        walk("/", rel, AT_FDCWD, "/");
        return;
    }
    if (visit(AT_FDCWD, path.c_str(), nullptr, rel, st)) {
        walk(path, rel, AT_FDCWD, path.c_str());
    }
}

} // namespace

Scan scan(const std::vector<std::string> &sources,
          uint64_t exclude_dev,
          uint64_t exclude_ino,
          int threads) {
    Scanner s(exclude_dev, exclude_ino, sources.size() > 1, threads);
    for (const std::string &path : sources) {
        s.source(path);
    }
    return std::move(s.out);
}

} // namespace veltrane::store
