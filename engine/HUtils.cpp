#include "pithorama/engine/HUtils.h"

#include "pithorama/platform/Strings.h"

namespace pithorama {

void THttpCookie::ChangeName(const std::string& newName) {
  TComponent::ChangeName(newName);  // may raise; then nothing below happens
  if ((Designing() && CookieName.empty()) || UpperCase(previousName_) == UpperCase(CookieName))
    CookieName = newName;
  previousName_ = newName;
}

}  // namespace pithorama
