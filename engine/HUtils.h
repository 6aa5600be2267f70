// Non-visual helper components of the engine: the cookie.
#pragma once

#include <cstdint>
#include <string>

#include "pithorama/platform/Component.h"

namespace pithorama {

// The attributes of one browser cookie. Its cookie name follows the
// component's name for as long as it was never set to something else.
class THttpCookie : public TComponent {
 public:
  using TComponent::TComponent;

  std::string CookieName;
  std::string Domain;
  std::string Path;
  bool Secure = false;
  bool Coded = false;
  int32_t CodeKey = 0;

 protected:
  void ChangeName(const std::string& newName) override;

 private:
  std::string previousName_;
};

}  // namespace pithorama
