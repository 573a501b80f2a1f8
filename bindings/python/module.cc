// The `zantrel` Python module's native part: both clients, their results and reports, a logger
// bridge, and non-blocking calls handed to Python through a callback. Each concern binds
// itself in its own file.
#include <pybind11/pybind11.h>

#include "bindings/python/bridge.h"
#include "bindings/python/call_results.h"
#include "bindings/python/module_parts.h"
#include "zantrel/host/catalogue_refresh.h"

PYBIND11_MODULE(_zantrel, m) {
  using namespace zantrel;          // NOLINT(google-build-using-namespace)
  using namespace zantrel::python;  // NOLINT(google-build-using-namespace)
  // Before Python finalises: no thread of the library enters it any more.
  py::module_::import("atexit").attr("register")(py::cpp_function([] {
    const py::gil_scoped_release released;
    PythonGate::instance().close();
  }));

  m.doc() =
      "zantrel image clients: Gemini generateContent (TavelinaClient) and the images API "
      "(CorvaneClient)";
  // The user's refreshed catalogue (zantrel-image models --refresh), as the CLI reads it.
  if (auto why = config::use_cached_model_catalogue()) {
    PyErr_WarnEx(PyExc_RuntimeWarning, (*why + "; the built-in catalogue is used").c_str(), 1);
  }

  init_results(m);
  init_requests(m);
  init_conversation(m);
  init_batches(m);
  init_clients(m);
}
