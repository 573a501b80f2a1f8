#pragma once

#include <string_view>

#include "zantrel/host/call/report_builder.h"
#include "zantrel/host/call_options.h"
#include "zantrel/host/models/model_catalogue.h"
#include "zantrel/host/service_client.h"

namespace zantrel::host::internal {

// The model a call of `self` asking `model` names, as `catalogue` decides it for the client's
// dialect on the day of the call.
ModelChoice choose_model(const ServiceClient& self, const ModelCatalogue& catalogue,
                         std::string_view model, Service service);

// The report's model_sent, model_note and model_warning alone: for an answer obtained
// elsewhere (its request prepared by the client), which the model's prices then cost.
void report_model_choice(const ModelChoice& choice, ReportBuilder& report);

// Once the call's checks passed: the report's model_sent, model_note and model_warning, and, in
// the direct dialect, one debug record when the name is not sent as asked, goes unchecked or
// carries a warning.
void record_model_choice(const ServiceClient& self, std::string_view model,
                         const ModelChoice& choice, const CallOptions& options,
                         ReportBuilder& report);

}  // namespace zantrel::host::internal
