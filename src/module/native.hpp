// veltrane._native: every native feature that is new in veltrane is bound here, one
// bind_<job> per file, and reaches users through a veltrane/*.py module that validates and
// documents. dedup_core's namespace stays exactly as it is and gets no new names.
#pragma once

#include <pybind11/pybind11.h>

namespace veltrane {

void bind_hamming(pybind11::module_ &m);
void bind_chunk(pybind11::module_ &m);
void bind_minhash(pybind11::module_ &m);
void bind_jaccard(pybind11::module_ &m);
void bind_gear(pybind11::module_ &m);
void bind_keep(pybind11::module_ &m);
void bind_jsonl(pybind11::module_ &m);
void bind_linefiles(pybind11::module_ &m);
void bind_files(pybind11::module_ &m);
void bind_tree(pybind11::module_ &m);
void bind_report(pybind11::module_ &m);
void bind_repeats(pybind11::module_ &m);
void bind_exact(pybind11::module_ &m);
void bind_store(pybind11::module_ &m);

} // namespace veltrane
