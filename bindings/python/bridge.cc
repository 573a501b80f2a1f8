#include "bindings/python/bridge.h"

#include <vector>

namespace zantrel::python {

using json = nlohmann::ordered_json;

// Drops a Python reference from a thread of the library: under the GIL, or (Python gone) not
// at all.
void drop(py::object& object) {
  if (!with_python([&] { object = py::object(); })) object.release();
}

py::object to_python(const json& value) {
  switch (value.type()) {
    case json::value_t::null:
      return py::none();
    case json::value_t::boolean:
      return py::bool_(value.get<bool>());
    case json::value_t::number_integer:
      return py::int_(value.get<std::int64_t>());
    case json::value_t::number_unsigned:
      return py::int_(value.get<std::uint64_t>());
    case json::value_t::number_float:
      return py::float_(value.get<double>());
    case json::value_t::string:
      return py::str(value.get_ref<const std::string&>());
    case json::value_t::array: {
      py::list list;
      for (const json& item : value) list.append(to_python(item));
      return list;
    }
    default: {
      py::dict dict;  // insertion-ordered: the record's keys keep their order
      for (const auto& [key, item] : value.items()) dict[py::str(key)] = to_python(item);
      return dict;
    }
  }
}

json from_python(const py::handle& value) {
  if (value.is_none()) return nullptr;
  if (py::isinstance<py::bool_>(value)) return value.cast<bool>();
  if (py::isinstance<py::int_>(value)) return value.cast<std::int64_t>();
  if (py::isinstance<py::float_>(value)) return value.cast<double>();
  if (py::isinstance<py::str>(value)) return value.cast<std::string>();
  throw py::type_error("task_id and model_key must be str, int, float, bool or None");
}

// Hands each record to a Python object's `debug` as one dict, taking the GIL only for that.
namespace {

class PythonLogger final : public host::Logger {
 public:
  explicit PythonLogger(py::object target) : target_(std::move(target)) {}
  ~PythonLogger() override { drop(target_); }
  PythonLogger(const PythonLogger&) = delete;
  PythonLogger& operator=(const PythonLogger&) = delete;

  void debug(const json& record) override {
    with_python([&] {
      try {
        target_.attr("debug")(to_python(record));
      } catch (py::error_already_set& e) {
        e.discard_as_unraisable("zantrel logger");
      }
    });
  }

 private:
  py::object target_;
};

}  // namespace

std::shared_ptr<host::Logger> logger_of(const py::object& logger) {
  if (logger.is_none()) return nullptr;
  if (!py::hasattr(logger, "debug")) throw py::type_error("logger must have a debug method");
  return std::make_shared<PythonLogger>(logger);
}

host::Dialect dialect_of(const std::string& text) {
  if (auto dialect = host::parse_dialect(text)) return *dialect;
  throw py::value_error("dialect must be 'gateway' or 'direct'");
}

host::Bytes bytes_of(const py::bytes& value) {
  const std::string_view view(value);
  return host::Bytes(view.begin(), view.end());
}

// files: None, str, bytes, or a list of them.
host::Files files_of(const py::object& files) {
  if (files.is_none()) return {};
  if (py::isinstance<py::str>(files)) return files.cast<std::string>();
  if (py::isinstance<py::bytes>(files)) return bytes_of(files);
  if (py::isinstance<py::list>(files) || py::isinstance<py::tuple>(files)) {
    std::vector<host::Reference> references;
    for (const py::handle& item : files) {
      if (py::isinstance<py::str>(item)) {
        references.emplace_back(item.cast<std::string>());
      } else if (py::isinstance<py::bytes>(item)) {
        references.emplace_back(bytes_of(py::reinterpret_borrow<py::bytes>(item)));
      } else {
        throw py::type_error("files must be str, bytes or a list of them");
      }
    }
    return references;
  }
  throw py::type_error("files must be str, bytes or a list of them");
}

// timeout: None, seconds, or a (connect, read) pair of seconds.
std::optional<host::Timeout> timeout_of(const py::object& timeout) {
  if (timeout.is_none()) return std::nullopt;
  if (py::isinstance<py::tuple>(timeout) && py::len(timeout) == 2) {
    const auto pair = timeout.cast<py::tuple>();
    if (py::isinstance<py::float_>(pair[0]) || py::isinstance<py::int_>(pair[0])) {
      return host::Timeout::from_seconds(pair[0].cast<double>(), pair[1].cast<double>());
    }
  }
  if (!py::isinstance<py::bool_>(timeout) &&
      (py::isinstance<py::float_>(timeout) || py::isinstance<py::int_>(timeout))) {
    const double seconds = timeout.cast<double>();
    return host::Timeout::from_seconds(seconds, seconds);
  }
  throw py::type_error("timeout must be seconds or a (connect, read) pair");
}

}  // namespace zantrel::python
