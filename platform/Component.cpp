#include "pithorama/platform/Component.h"

#include <algorithm>

#include "pithorama/platform/Errors.h"
#include "pithorama/platform/Messages.h"
#include "pithorama/platform/Module.h"
#include "pithorama/platform/Strings.h"

namespace pithorama {

TApplication* Application = nullptr;

void InitApplication() {
  if (Application == nullptr) Application = new TApplication();
}

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner_ != nullptr) owner_->components_.push_back(this);
}

TComponent::~TComponent() {
  while (!components_.empty()) delete components_.back();  // its destructor calls Remove
  if (owner_ != nullptr) owner_->Remove(this);
}

void TComponent::Remove(TComponent* child) {
  auto it = std::find(components_.begin(), components_.end(), child);
  if (it != components_.end()) components_.erase(it);
}

void TComponent::SetDesigning(bool designing) {
  designing_ = designing;
  for (TComponent* child : components_) child->SetDesigning(designing);
}

void TComponent::SetName(const std::string& newName) {
  if (newName != name_) ChangeName(newName);
}

static bool IsValidIdent(const std::string& name) {
  auto isAlpha = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
  };
  if (name.empty() || !isAlpha(name[0])) return false;
  return std::all_of(name.begin(), name.end(),
                     [&](char c) { return isAlpha(c) || (c >= '0' && c <= '9'); });
}

void TComponent::ChangeName(const std::string& newName) {
  if (!newName.empty() && !IsValidIdent(newName))
    throw EComponentError("\"" + newName + "\" is not a valid component name");
  if (!newName.empty() && owner_ != nullptr) {
    for (TComponent* sibling : owner_->components_)
      if (sibling != this && UpperCase(sibling->name_) == UpperCase(newName))
        throw EComponentError("A component named " + newName + " already exists");
  }
  name_ = newName;
}

void TForm::Loaded() {
  // Copy first: a component's loading step may create further components.
  std::vector<TComponent*> loading = Components();
  for (TComponent* component : loading) component->FormLoaded();
  FormLoaded();
}

void TApplication::Run() {
  if (MainForm != nullptr && ShowMainForm) MainForm->Show();
  while (!terminated_) {
    WaitForMessage(-1);
    DispatchMessages();
  }
}

void TApplication::ProcessMessages() { DispatchMessages(); }

std::string TApplication::ExeName() const { return ExecutableFileName(); }

}  // namespace pithorama
