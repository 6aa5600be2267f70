// For the back ends only: the files that a termination deletes. The list's
// entries are linked once and never freed: an entry is claimed, filled and
// then marked live with atomic stores, so a signal handler can walk the list
// at any moment without a lock and without touching memory that may go away.
#pragma once

#include <string>

namespace pithorama {

// Deletes every file registered with RemoveOnTermination and not withdrawn;
// `remove` is the back end's deletion, safe where the caller runs.
void RemoveRegisteredFiles(void (*remove)(const char* path));

}  // namespace pithorama
