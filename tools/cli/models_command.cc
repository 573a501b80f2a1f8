#include "tools/cli/models_command.h"

#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "zantrel/host/config.h"

namespace zantrel::cli {
namespace {

std::string joined(const std::vector<std::string>& values, const char* none = "-") {
  if (values.empty()) return none;
  std::string out;
  for (const std::string& value : values) out += (out.empty() ? "" : " ") + value;
  return out;
}

// What the model takes: Gemini ratios and sizes; images sizes.
std::string takes(const host::ModelInfo& model) {
  if (model.service == host::Service::kGemini) {
    return joined(model.aspect_ratios) + " | " + joined(model.image_sizes, "(none sent)");
  }
  return "any ratio | " + joined(model.sizes, "free (multiples of 16)");
}

std::string status(const host::ModelInfo& model) {
  if (!model.retired()) return "current";
  return "retired " + *model.retired_on + ", use " + model.replacement;
}

}  // namespace

std::string models_table(const host::ModelCatalogue& catalogue, ModelsFormat format) {
  if (format == ModelsFormat::kJson) return catalogue.to_json().dump(2) + "\n";
  std::vector<const host::ModelInfo*> ordered;
  for (bool retired : {false, true}) {
    for (const auto& model : catalogue.models()) {
      if (model.retired() == retired) ordered.push_back(&model);
    }
  }
  std::ostringstream out;
  if (format == ModelsFormat::kMarkdown) {
    out << "| model | service | status | aspect ratios | sizes | parameters |\n"
        << "|---|---|---|---|---|---|\n";
    for (const auto* model : ordered) {
      out << "| `" << model->name << "` | " << host::to_string(model->service) << " | "
          << status(*model) << " | " << takes(*model) << " | " << joined(model->parameters)
          << " |\n";
    }
    return out.str();
  }
  for (const auto* model : ordered) {
    out << model->name << "  (" << host::to_string(model->service) << ", " << status(*model)
        << ")\n    takes: " << takes(*model) << "\n    parameters: " << joined(model->parameters)
        << "\n";
  }
  return out.str();
}

int run_models(ModelsFormat format) {
  std::cout << models_table(*config::model_catalogue(), format);
  return 0;
}

void load_catalogue(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw std::runtime_error("cannot read the model catalogue " + path);
  try {
    const auto document = nlohmann::json::parse(file);
    config::set_model_catalogue(
        std::make_shared<const host::ModelCatalogue>(host::ModelCatalogue::from_json(document)));
  } catch (const std::exception& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
}

}  // namespace zantrel::cli
