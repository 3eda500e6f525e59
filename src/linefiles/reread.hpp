// Texts of plain corpus files read again by where their lines are: the first occurrences the
// repeats finder keeps as places, not bytes. A text is found in its line as the one-pass
// scanner finds it (jsonl::scan for JSON Lines; the line without its break otherwise), so
// the finder checks what it gets against a hash of what it saw before comparing.
#pragma once

#include "jsonl/jsonl.hpp"
#include "linefiles/signed_file.hpp"
#include "repeats/repeats.hpp"

#include <memory>
#include <string>
#include <vector>

namespace veltrane::linefiles {

class Reread final : public repeats::TextSource {
public:
    // File k is paths[k], JSON Lines when json_lines[k], its text in `field`.
    Reread(std::vector<std::string> paths, std::vector<bool> json_lines, std::string field);

    bool text(const repeats::Location &at, std::string &into) override;

private:
    std::vector<std::string> paths_;
    std::vector<bool> json_lines_;
    std::string field_;
    std::vector<std::unique_ptr<File>> files_; // opened when first read
    std::string line_;
};

} // namespace veltrane::linefiles
