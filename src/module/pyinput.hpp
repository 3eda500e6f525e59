// Helpers shared by the bindings of veltrane._native: texts gathered under the GIL so that
// native code can read them without it, and NumPy arrays made from native vectors.
#pragma once

#include <cstring>
#include <deque>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <string>
#include <string_view>
#include <vector>

// Hidden, like pybind11's own types: Texts holds py::objects, and a type must not be more
// visible than its fields.
namespace veltrane {
namespace pyutil __attribute__((visibility("hidden"))) {

    namespace py = pybind11;

    // Views of the texts' bytes that stay valid while the GIL is released: str and bytes cannot
    // change, and we hold a reference to each so that a list mutated meanwhile by another thread
    // cannot free them; a bytearray can change, so it is copied.
    struct Texts {
        std::vector<py::object> keep;
        std::deque<std::string> copies; // a deque never moves its elements
        std::vector<std::string_view> views;
    };

    inline Texts collect_texts(const py::handle &texts) {
        Texts t;
        std::size_t index = 0;
        for (py::handle item : py::iter(texts)) {
            PyObject *o = item.ptr();
            if (PyUnicode_Check(o)) {
                Py_ssize_t size = 0;
                const char *data = PyUnicode_AsUTF8AndSize(o, &size);
                if (data == nullptr) {
                    PyErr_Clear();
                    throw py::type_error("texts[" + std::to_string(index) +
                                         "] is a str without a UTF-8 encoding (a lone surrogate)");
                }
                t.views.emplace_back(data, static_cast<std::size_t>(size));
            } else if (PyBytes_Check(o)) {
                t.views.emplace_back(PyBytes_AS_STRING(o),
                                     static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
            } else if (PyByteArray_Check(o)) {
                t.copies.emplace_back(PyByteArray_AS_STRING(o),
                                      static_cast<std::size_t>(PyByteArray_GET_SIZE(o)));
                t.views.emplace_back(t.copies.back());
            } else {
                throw py::type_error("texts[" + std::to_string(index) +
                                     "] must be str, bytes or bytearray, not " +
                                     py::detail::get_fully_qualified_tp_name(Py_TYPE(o)));
            }
            t.keep.push_back(py::reinterpret_borrow<py::object>(item));
            ++index;
        }
        return t;
    }

    // The bytes of a bytes object, in place.
    inline std::string_view bytes_view(const py::bytes &b) {
        return {PyBytes_AS_STRING(b.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr()))};
    }

    // A new one-dimensional array holding a copy of v. An empty vector has no data pointer to
    // copy from, and memcpy must not be handed one.
    template <typename T> py::array_t<T> to_array(const std::vector<T> &v) {
        py::array_t<T> out(static_cast<py::ssize_t>(v.size()));
        if (!v.empty()) {
            std::memcpy(out.mutable_data(), v.data(), v.size() * sizeof(T));
        }
        return out;
    }

    // An array that takes over v's memory instead of copying it: a copy of a large vector
    // costs its pages afresh.
    template <typename T> py::array_t<T> into_array(std::vector<T> && v) {
        auto *held = new std::vector<T>(std::move(v));
        py::capsule owner(held, [](void *p) { delete static_cast<std::vector<T> *>(p); });
        return py::array_t<T>(static_cast<py::ssize_t>(held->size()), held->data(), owner);
    }

} // namespace pyutil
} // namespace veltrane
