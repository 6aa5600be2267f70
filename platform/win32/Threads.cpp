#include "pithorama/platform/Threads.h"

#include "pithorama/platform/win32/WindowsApi.h"

namespace pithorama {

void SleepMs(int milliseconds) {
  if (milliseconds > 0) ::Sleep(static_cast<DWORD>(milliseconds));
}

}  // namespace pithorama
