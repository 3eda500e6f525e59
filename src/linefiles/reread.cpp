#include "linefiles/reread.hpp"

#include <system_error>
#include <utility>

namespace veltrane::linefiles {

Reread::Reread(std::vector<std::string> paths, std::vector<bool> json_lines, std::string field)
    : paths_(std::move(paths)), json_lines_(std::move(json_lines)), field_(std::move(field)),
      files_(paths_.size()) {}

bool Reread::text(const repeats::Location &at, std::string &into) {
    if (at.file < 0 || static_cast<std::size_t>(at.file) >= paths_.size() || at.offset < 0 ||
        at.length < 0) {
        return false;
    }
    const auto k = static_cast<std::size_t>(at.file);
    if (files_[k] == nullptr) {
        try {
            files_[k] = std::make_unique<File>(paths_[k]);
        } catch (const std::system_error &) {
            return false;
        }
    }
    const auto length = static_cast<std::size_t>(at.length);
    line_.resize(length);
    if (files_[k]->read(static_cast<std::size_t>(at.offset), line_.data(), length) != length) {
        return false;
    }
    std::size_t end = length;
    if (end > 0 && line_[end - 1] == '\n') {
        --end;
    }
    if (!json_lines_[k]) {
        if (end > 0 && line_[end - 1] == '\r') {
            --end;
        }
        into.assign(line_, 0, end);
        return true;
    }
    const jsonl::Line parsed = jsonl::scan(line_.data(), 0, end, {field_, {}, {}});
    if (parsed.status != jsonl::Status::record) {
        return false;
    }
    const jsonl::Token &t = parsed.text;
    if (t.escaped) {
        into.resize(t.size);
        jsonl::unescape(line_.data(), t, into.data());
    } else {
        into.assign(line_, t.begin, t.end - t.begin);
    }
    return true;
}

} // namespace veltrane::linefiles
