#pragma once

// Moved to "zantrel/host/transfer_facts.h"; this path forwards to it for one release.
#include "zantrel/host/transfer_facts.h"
