#include <pybind11/stl.h>

#include <filesystem>

#include "bindings/python/bridge.h"
#include "bindings/python/module_parts.h"
#include "zantrel/host/conversation.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::python {

void init_conversation(py::module_& m) {
  py::class_<host::Conversation>(m, "Conversation")
      .def(py::init<>())
      .def_property_readonly("exchanges", &host::Conversation::exchanges)
      .def("__len__", [](const host::Conversation& c) { return c.turns().size(); })
      .def(
          "to_json",
          [](const host::Conversation& c, const std::optional<std::string>& image_dir,
             const std::string& relative_to) {
            std::optional<std::filesystem::path> dir;
            if (image_dir) dir = *image_dir;
            return to_python(c.to_json(dir, relative_to));
          },
          py::arg("image_dir") = py::none(), py::arg("relative_to") = "")
      .def_static(
          "from_json",
          [](const py::object& document, const std::string& base_dir) {
            // A document as to_json gives it (a dict), or its JSON text.
            const std::string text =
                py::isinstance<py::str>(document)
                    ? document.cast<std::string>()
                    : py::module_::import("json").attr("dumps")(document).cast<std::string>();
            const auto parsed = nlohmann::ordered_json::parse(text, nullptr, false);
            if (parsed.is_discarded()) throw py::value_error("the conversation is not JSON");
            try {
              return host::Conversation::from_json(parsed, base_dir);
            } catch (const host::InvalidArgument& e) {
              throw py::value_error(e.what());
            }
          },
          py::arg("document"), py::arg("base_dir") = "");
}

}  // namespace zantrel::python
