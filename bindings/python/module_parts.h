#pragma once

// The module's parts, each binding one concern; module.cc puts them together.

#include <pybind11/pybind11.h>

namespace zantrel::python {

void init_requests(pybind11::module_& m);
void init_conversation(pybind11::module_& m);
void init_batches(pybind11::module_& m);
void init_clients(pybind11::module_& m);

}  // namespace zantrel::python
