// Conversion of arguments and property values with the note that names them.
#pragma once

#include <Python.h>

#include <string_view>

#include "module/capi/entry.hpp"

namespace korvane::py {

// Adds "while processing '{name}'" to the exception being raised now.
void add_note(std::string_view name) noexcept;

// Runs convert(); a failure (Python or SerialError) is raised with the note
// naming the parameter, its type and message unchanged.
template <class F>
decltype(auto) noted(std::string_view name, F&& convert) {
    try {
        return convert();
    } catch (...) {
        raise_current();
        add_note(name);
        throw ErrorAlreadySet{};
    }
}

}  // namespace korvane::py
