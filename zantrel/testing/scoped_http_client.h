#pragma once

// The test kit moved to "zantrel/testkit/" and the namespace zantrel::testkit; this path and
// the old namespace name forward there for one release.
#include "zantrel/testkit/scoped_http_client.h"

namespace zantrel {
namespace testing = testkit;  // NOLINT(misc-unused-alias-decls)
}  // namespace zantrel
