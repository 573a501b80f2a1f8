#pragma once

// The module's parts, each binding one concern; module.cc puts them together.

#include <pybind11/pybind11.h>

namespace zantrel::python {

void init_conversation(pybind11::module_& m);
void init_tavelina(pybind11::module_& m);
void init_corvane(pybind11::module_& m);

}  // namespace zantrel::python
