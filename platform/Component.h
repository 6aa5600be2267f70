// The component model: objects that own other objects, carry a name, and take
// part in the loading of a form.
//
//   class TForm1 : public TForm {
//    public:
//     explicit TForm1(TComponent* owner) : TForm(owner) { Button = new TButton(this); ... }
//   };
//   Application->Initialize();
//   Application->CreateForm(Form1);   // constructs, then runs FormLoaded on every component
//   Application->Run();
//
// Ownership: a component owns the components created with it as owner and frees
// them, last created first, when it is freed. A component freed on its own
// leaves its owner's list first.
#pragma once

#include <string>
#include <vector>

namespace pithorama {

class TObject {
 public:
  virtual ~TObject() = default;
};

class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  const std::vector<TComponent*>& Components() const { return components_; }

  const std::string& Name() const { return name_; }
  // Renames through ChangeName; an equal name does nothing.
  void SetName(const std::string& newName);

  // Design mode: the component sits in a designer instead of a running program.
  bool Designing() const { return designing_; }
  void SetDesigning(bool designing);

  // The after-loading step: runs once after the owner form was built with its
  // stored settings.
  virtual void FormLoaded() {}

 protected:
  // The rename step. The base checks that the name is a valid identifier (or
  // empty) and unique among the owner's components, raising EComponentError
  // otherwise, and stores it.
  virtual void ChangeName(const std::string& newName);

 private:
  void Remove(TComponent* child);

  TComponent* owner_;
  std::vector<TComponent*> components_;
  std::string name_;
  bool designing_ = false;
};

enum class TWindowState { wsNormal, wsMinimized, wsMaximized };

// A top-level window of the program. On this platform a form is never drawn;
// it keeps its caption, window state and visibility.
class TForm : public TComponent {
 public:
  explicit TForm(TComponent* owner) : TComponent(owner) {}

  std::string Caption;
  TWindowState WindowState = TWindowState::wsNormal;
  bool Visible() const { return visible_; }
  void Show() { visible_ = true; }
  void Hide() { visible_ = false; }

  // Runs FormLoaded on every owned component in creation order, then on the form.
  void Loaded();

 private:
  bool visible_ = false;
};

// A container of non-visual components that is not a window.
class TDataModule : public TComponent {
 public:
  explicit TDataModule(TComponent* owner) : TComponent(owner) {}
};

class TApplication : public TComponent {
 public:
  TApplication() : TComponent(nullptr) {}

  void Initialize() {}

  // Builds a form owned by the application, runs its loading step and stores it
  // in ref before loading, so that code run while the form loads finds it. The
  // first form created becomes the main form.
  template <class F>
  void CreateForm(F*& ref) {
    ref = new F(this);
    if (MainForm == nullptr) MainForm = ref;
    ref->Loaded();
  }

  // Runs the message loop of the calling thread until Terminate; shows the main
  // form first when ShowMainForm is set.
  void Run();
  // Delivers every message that is due now, without waiting.
  void ProcessMessages();
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }

  // The full file name of the program (not of a library it runs in).
  std::string ExeName() const;

  TForm* MainForm = nullptr;
  bool ShowMainForm = true;
  std::string Title;

 private:
  bool terminated_ = false;
};

// The application object of the process; created by InitApplication.
extern TApplication* Application;
void InitApplication();

}  // namespace pithorama
