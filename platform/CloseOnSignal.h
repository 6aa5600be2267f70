// Ending on a signal the way a window ends: SIGTERM, SIGINT and SIGHUP post a
// close message (WmClose) to a window instead of killing the process, so that
// a long-running loop leaves through its own clean-up.
#pragma once

#include "platform/Messages.h"

namespace pithorama {

// From now on the three signals post WmClose to `window`, on its owning
// thread; a later call moves them to another window. Call on the thread that
// owns the window. False when the signals could not be caught.
bool PostCloseOnSignals(TWindow window);

}  // namespace pithorama
