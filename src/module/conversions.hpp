// Reading Python values for the serial classes and the transport.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/backend/backend.hpp"
#include "engine/settings.hpp"

namespace korvane {

namespace serial {

// bytes, str (as UTF-8) or any buffer, as one contiguous copy. Throws.
ByteVec to_bytes(PyObject* value);
// repr(value) as UTF-8 text, "<unprintable>" when repr raises. Never fails.
std::string describe(PyObject* value) noexcept;
// A baud rate: whatever int() accepts, 0 to 2^32-1. Throws.
std::uint32_t read_baudrate(PyObject* value);
// A data-bit count, 5 to 8, from a number with no fractional part. Throws.
std::uint8_t read_bytesize(PyObject* value);
// The process's Baudrate IntEnum (borrowed). Throws.
PyObject* baudrate_enum();

}  // namespace serial

namespace settings {
// A timeout from a Python object that is not None; the sign is not checked. Throws.
Seconds seconds_from_python(PyObject* value);
}  // namespace settings

}  // namespace korvane
