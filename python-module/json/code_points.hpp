// A Python str's code points, copied once for the native JSON passes: one
// element per character, so that offsets are Python's string indices.
#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>

#include "json/positioned_scan.hpp"
#include "py_ref.hpp"

namespace dax::python::json {

struct CodePointsFree {
    void operator()(Py_UCS4* chars) const noexcept { PyMem_Free(chars); }
};

class CodePoints {
public:
    // The code points of `text` (a str); check `ok()`, else an exception is set.
    explicit CodePoints(PyObject* text)
        : chars_(PyUnicode_AsUCS4Copy(text)), size_(chars_ ? static_cast<std::size_t>(PyUnicode_GetLength(text)) : 0) {}

    bool ok() const noexcept { return chars_ != nullptr; }
    dax::json::Text text() const noexcept { return {chars_.get(), size_}; }

private:
    static_assert(std::is_same_v<Py_UCS4, std::uint32_t>);
    std::unique_ptr<Py_UCS4, CodePointsFree> chars_;
    std::size_t size_;
};

}  // namespace dax::python::json
