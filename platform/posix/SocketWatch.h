// Glue between the socket layer and the message queue of this back end. The
// queue watches sockets for readiness and turns it into notification messages;
// the socket layer tells it when a receive re-enables the read notification.
#pragma once

#include <functional>

#include "pithorama/platform/Messages.h"

namespace pithorama::posix {

// Posts `message` to `window` (wParam = fd, lParam = event | error << 16) for
// the events in `events` (FdRead, FdConnect, FdClose of Sockets.h). Replaces an
// earlier watch of the same descriptor; events 0 ends the watch. False when the
// window does not exist.
bool WatchSocket(int fd, TWindow window, unsigned message, unsigned events);

// A receive was made on fd: the next data may post FdRead again. Each FdRead
// is posted once until then, so that unread data does not flood the queue.
void SocketWasRead(int fd);

// Calls `onReadable` on the thread that owns `window`, from its pump, each
// time fd has data to read; the handler must read what is there, or it is
// called again at the next pump. The watch ends with ForgetReadable or when
// the window is destroyed. False when the window does not exist.
bool WatchReadable(int fd, TWindow window, std::function<void()> onReadable);
void ForgetReadable(int fd);

// The socket error number (10035 and so on) for an errno value.
int SocketErrorFromErrno(int errnoValue);

}  // namespace pithorama::posix
