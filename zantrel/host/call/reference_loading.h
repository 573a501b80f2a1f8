#pragma once

// Reference images and returned links, loaded through a call's exchange (blocking or not).

#include <optional>
#include <string>
#include <vector>

#include "zantrel/host/bytes.h"
#include "zantrel/host/call/exchange.h"
#include "zantrel/host/call/task.h"
#include "zantrel/host/references.h"

namespace zantrel::host::internal {

// The image behind a link: the body of a 2xx answer that has one, else nothing (a text that is
// not an http(s) link included). Transfer failures are thrown.
Task<std::optional<Bytes>> fetch_image(const Exchange& exchange, const std::string& url);

// The bytes of every reference in order: links fetched through `exchange`, paths read, bytes
// copied; a link without an image and a path that does not exist are left out. What the public
// `load_references` does.
Task<std::vector<Bytes>> gather_references(const Files& files, const Exchange& exchange);

}  // namespace zantrel::host::internal
