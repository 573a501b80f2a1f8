#pragma once

// Reference images and returned links, loaded through a call's exchange (blocking or not).

#include <optional>
#include <string>
#include <vector>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/call/exchange.h"
#include "zantrel/host/call/task.h"
#include "zantrel/host/references.h"

namespace zantrel::host::internal {

// The image behind a link: the body of a 2xx answer that has one, else nothing (a text that is
// not an http(s) link included). Transfer failures are thrown.
Task<std::optional<Bytes>> fetch_image(const Exchange& exchange, const std::string& url);

// The bytes of every reference in order: links fetched through `exchange`, paths read, bytes
// copied. A link without an image and a path that does not exist are left out (what the public
// `load_references` and the positional entries do), unless `refused` is given: then the first
// reference that does not load (a missing path, a folder or other file that is not a regular
// one, an unreadable one, a link without an image or one the link policy refuses) stops the
// gathering, and `refused` says which and why. Other transfer failures are thrown.
Task<std::vector<Bytes>> gather_references(const Files& files, const Exchange& exchange,
                                           std::string* refused = nullptr);

}  // namespace zantrel::host::internal
