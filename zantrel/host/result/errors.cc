#include "zantrel/host/result/errors.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "zantrel/host/result/transfer_facts.h"

namespace zantrel::host {

void Error::set_transfer(const TransferFacts& facts) {
  transfer_ = std::make_shared<const TransferFacts>(facts);
}

namespace {

std::string demangled_short_name(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> name(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
  std::string full = (status == 0 && name) ? std::string(name.get()) : std::string(type.name());
  // Drop template arguments, then namespaces: "std::filesystem::filesystem_error" ->
  // "filesystem_error".
  if (auto angle = full.find('<'); angle != std::string::npos) full.resize(angle);
  if (auto colon = full.rfind("::"); colon != std::string::npos) full.erase(0, colon + 2);
  return full;
}

// Calls `on_std` or `on_other` with the failure held by `failure`.
template <class OnStd, class OnOther>
auto visit_failure(const std::exception_ptr& failure, OnStd on_std, OnOther on_other) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return on_std(e);
  } catch (...) {
    return on_other();
  }
}

std::string short_name_of(const std::exception& e) {
  if (const auto* ours = dynamic_cast<const Error*>(&e)) return std::string(ours->kind());
  return demangled_short_name(typeid(e));
}

void append_trace(std::string& out, const std::exception& e, int depth) {
  const std::string indent(static_cast<std::size_t>(2 + 2 * depth), ' ');
  out += indent;
  if (depth > 0) out += "caused by ";
  out += short_name_of(e);
  out += ": ";
  out += e.what();
  out += '\n';
  if (const auto* ours = dynamic_cast<const Error*>(&e)) {
    const auto& where = ours->where();
    out += indent + "  raised at " + where.file + ":" + std::to_string(where.line) + " in " +
           where.function + '\n';
  }
  try {
    std::rethrow_if_nested(e);
  } catch (const std::exception& inner) {
    append_trace(out, inner, depth + 1);
  } catch (...) {
    out += indent + "  caused by a non-standard failure\n";
  }
}

}  // namespace

std::string except_name(const std::exception_ptr& failure) {
  if (!failure) return "UnknownError";
  return visit_failure(
      failure, [](const std::exception& e) { return short_name_of(e); },
      [] { return std::string("UnknownError"); });
}

FailureKind failure_kind(const std::exception_ptr& failure) noexcept {
  if (!failure) return FailureKind::kOther;
  try {
    std::rethrow_exception(failure);
  } catch (const Error& e) {
    return e.failure_kind();
  } catch (...) {
    return FailureKind::kOther;
  }
}

std::string describe_error(const std::exception_ptr& failure) {
  if (!failure) return "UnknownError";
  return visit_failure(
      failure, [](const std::exception& e) { return short_name_of(e) + ": " + e.what(); },
      [] { return std::string("UnknownError: a non-standard failure"); });
}

std::string traceback_text(const std::exception_ptr& failure) {
  std::string out = "Traceback (outermost failure first):\n";
  if (!failure) return out + "  UnknownError\n";
  visit_failure(
      failure, [&out](const std::exception& e) { append_trace(out, e, 0); },
      [&out] { out += "  UnknownError: a non-standard failure\n"; });
  return out;
}

}  // namespace zantrel::host
