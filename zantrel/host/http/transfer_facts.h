#pragma once

// Moved to "zantrel/host/result/transfer_facts.h"; this path forwards to it for one release.
#include "zantrel/host/result/transfer_facts.h"
