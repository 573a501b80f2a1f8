#include "tools/cli/output/run_report.h"

#include <algorithm>
#include <iostream>
#include <optional>
#include <string>

#include "tools/cli/output/image_facts.h"
#include "tools/cli/output/image_output.h"
#include "tools/cli/terminal/preview.h"

namespace zantrel::cli {
namespace {

// Where image `index` (from 1) of `count` goes.
std::string output_name(const GenerateOptions& o, host::ByteView image, int index) {
  const std::string name = o.out ? *o.out : default_output_name(o.service, image);
  return o.count > 1 ? numbered_name(name, index) : name;
}

}  // namespace

bool report_images(const GenerateOptions& o, host::Dialect dialect, const Calls& calls) {
  bool all_ok = true;
  int written = 0;                       // images so far, for their numbers
  std::optional<PreviewProtocol> drawn;  // asked of the terminal at the first image only
  for (std::size_t i = 0; i < calls.results.size(); ++i) {
    const host::ServiceResult& result = calls.results[i];
    const host::CallReport& report = calls.reports[i];
    const auto images = result.images();
    for (std::size_t k = 0; k < std::max<std::size_t>(images.size(), 1); ++k) {
      std::optional<std::string> out;
      std::optional<WrittenFile> file;
      bool ok = result.ok();
      std::optional<std::string> write_error;
      if (k < images.size()) {
        out = output_name(o, images[k], ++written);
        const auto facts = o.no_metadata ? std::nullopt : std::optional(image_facts(o, report));
        try {
          file = write_image_file(*out, images[k], facts);
        } catch (const std::exception& e) {
          // Paid for: kept elsewhere, and the run says where and fails.
          write_error = e.what();
          out = keep_image_elsewhere(o.service, images[k], facts, *write_error, file);
          ok = false;
        }
      } else if (const std::string* link = result.link()) {
        // The service answered a link the call could not fetch: no file, so no success; the
        // link stays in the line for the user to fetch while it lasts.
        write_error = unfetched_link_note(*link);
        std::cerr << "zantrel-image: " << *write_error << "\n";
        ok = false;
      }
      all_ok = all_ok && ok;
      if (o.json) {
        auto line = json_report_object(result, out, dialect, report, k, file);
        if (write_error) {
          line["ok"] = false;
          line["write_error"] = *write_error;
        }
        std::cout << line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                  << std::endl;
      } else {
        (result.ok() ? std::cout : std::cerr) << human_summary(result, out, report) << "\n";
        if (file) {
          if (!drawn) drawn = choose_preview(o.preview);
          show_preview(std::cout, images[k], *drawn);
        }
      }
    }
    if (!o.json && o.text && report.text) std::cout << "text: " << *report.text << "\n";
  }
  return all_ok;
}

}  // namespace zantrel::cli
