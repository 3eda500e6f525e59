// The files of a dedup report as `veltrane dedup --json` writes them, formatted natively: a
// tree of 10^5 files is written in milliseconds instead of a Python format call per file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace veltrane::report {

// Appends the shortest decimal that reads back as `value`, laid out as Python's repr(float)
// lays it out ("21.5", "100.0", "1e-05", "1.5e+16").
void append_float_repr(double value, std::string &out);

// Appends `path` as a JSON string as Python's json.dumps (ensure_ascii) writes its text: the
// path decoded as UTF-8, each byte that is not part of valid UTF-8 as the four characters
// \xNN. Returns false when such a byte was met (the path's text then does not give its bytes
// back).
bool append_json_path(std::string_view path, std::string &out);

// Appends the standard base64 of `data`.
void append_base64(std::string_view data, std::string &out);

// Appends files [first, last) of a report's columns, each as an object of the report's
// "files" array indented as json.dumps(indent=2) lays out the report, separated by ",\n".
// `names` holds the paths one after another, path i ending at ends[i]; `stats` holds six
// figures per file: bytes, chunks, unique chunks, unique bytes, shortest and longest chunk.
// A path that is not UTF-8 gets a "path_base64" member with its exact bytes.
void append_json_files(std::string_view names,
                       const uint64_t *ends,
                       const uint64_t *stats,
                       std::size_t first,
                       std::size_t last,
                       std::string &out);

} // namespace veltrane::report
