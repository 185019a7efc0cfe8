// Complete removal's stage for the product's private SQL Server instance.
#pragma once

#include "core/entry_listing.h"

// Stops and deletes the instance's service, uninstalls its package, deletes
// its folder and keys, unregisters it, and sets SqlWriter to manual start.
// Reads no entry listing: it hands listings of its own, built in memory,
// to the service and registry stages through `cursor`. Returns 0, or the
// outcome code of the last step that failed.
LONG RemoveSQLInstance(ListingCursor *cursor);
