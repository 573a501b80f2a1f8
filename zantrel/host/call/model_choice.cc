#include "zantrel/host/call/model_choice.h"

#include "zantrel/host/call/log_record.h"

namespace zantrel::host::internal {

ModelChoice choose_model(const ServiceClient& self, const ModelCatalogue& catalogue,
                         std::string_view model, Service service) {
  return catalogue.choose(model, service, self.dialect(), utc_day());
}

void report_model_choice(const ModelChoice& choice, ReportBuilder& report) {
  if (!report.wanted()) return;
  report.report()->model_sent = choice.sent;
  report.report()->model_note = choice.note;
  report.report()->model_warning = choice.warning;
}

void record_model_choice(const ServiceClient& self, std::string_view model,
                         const ModelChoice& choice, const CallOptions& options,
                         ReportBuilder& report) {
  report_model_choice(choice, report);
  // The gateway dialect's records stay the contract's: the report alone says it there.
  const bool replaced = choice.sent != model;
  if (self.dialect() == Dialect::kGateway || (!replaced && !choice.note && !choice.warning)) {
    return;
  }
  const char* what = replaced      ? " model replaced"
                     : choice.note ? " model unchecked"
                                   : " model warning";
  auto record = log_record(self.model_tag() + what, options.task_id, options.model_key);
  record["model_name"] = model;
  if (replaced) {
    record["model_sent"] = choice.sent;
    record["retired_on"] = choice.shutdown_on.value_or("");
  } else if (choice.note) {
    record["note"] = *choice.note;
  } else {
    record["warning"] = *choice.warning;
  }
  self.logger()->debug(record);
}

}  // namespace zantrel::host::internal
