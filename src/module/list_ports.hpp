// korvane.tools.list_ports: the ListPortInfo class and comports().
#pragma once

#include <Python.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "engine/list_ports_scan.hpp"
#include "module/capi/ref.hpp"

namespace korvane::list_ports {

// The ListPortInfo type, made once per process (borrowed). Throws.
PyObject* list_port_info_type();
// comports(include_links=False), for adding to the module.
extern PyMethodDef comports_def;

// comports() over the sysfs tree at sys_root: a new list. Throws.
py::Ref comports_at(const std::filesystem::path& sys_root);
// A new ListPortInfo for one enumerated port. Throws.
py::Ref from_info(const PortInfo& port);

// The bus part of a location text: one more than the number after the last
// "USBROOT(", or the bus text unchanged.
std::string bus_part(std::string_view bus);

using NaturalComponent = std::vector<unsigned __int128>;
using NaturalKey = std::vector<NaturalComponent>;
// Sort key of a device path: digit runs compare by value, so ttyS2 < ttyS10.
NaturalKey natural_key(std::string_view text);

}  // namespace korvane::list_ports
