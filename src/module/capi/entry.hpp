// The boundary between the interpreter and C++: every C entry point runs its
// body through these, so no C++ exception crosses into the interpreter.
#pragma once

#include <Python.h>

#include <new>
#include <type_traits>

#include "engine/errors.hpp"
#include "module/capi/ref.hpp"

namespace korvane::py {

// Sets the Python exception for a SerialError (the one mapping).
void raise(SerialError error) noexcept;
// Sets the Python exception for the C++ exception being handled.
void raise_current() noexcept;

// Runs body; on a C++ exception sets the Python error and returns the
// failure value (nullptr for pointers, -1 for ints).
template <class F>
auto entry(F&& body) noexcept -> decltype(body()) {
    using R = decltype(body());
    try {
        return body();
    } catch (...) {
        raise_current();
        if constexpr (std::is_pointer_v<R>)
            return nullptr;
        else
            return R(-1);
    }
}

// Throws the SerialError of a failed result, or gives its value.
template <class T>
T value_or_throw(Result<T>&& r) {
    if (!r) throw std::move(r.error());
    if constexpr (!std::is_void_v<T>) return std::move(*r);
}

}  // namespace korvane::py
