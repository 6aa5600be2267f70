// A CGI program that reads the field "big" and answers the largest number of
// heap bytes the process held at any moment up to then, and the value's size:
// "<p>PEAK SIZE". Every allocation of the program goes through the counting
// operator new below, which keeps each block's size in front of it.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>

#include "pithorama/engine/GenEng.h"
#include "pithorama/gateways/cgi/CgiSEng.h"
#include "pithorama/platform/Environment.h"
#include "pithorama/platform/Module.h"

using namespace pithorama;

namespace {

std::atomic<int64_t> live{0};
std::atomic<int64_t> peak{0};

// Room for the size in front of every block, keeping the block aligned.
constexpr size_t kFront = alignof(std::max_align_t);

void* Counted(size_t size) {
  auto* block = static_cast<unsigned char*>(std::malloc(size + kFront));
  if (block == nullptr) throw std::bad_alloc();
  *reinterpret_cast<size_t*>(block) = size;
  const int64_t now = live += static_cast<int64_t>(size);
  for (int64_t seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
  }
  return block + kFront;
}

void Uncounted(void* p) {
  if (p == nullptr) return;
  unsigned char* block = static_cast<unsigned char*>(p) - kFront;
  live -= static_cast<int64_t>(*reinterpret_cast<size_t*>(block));
  std::free(block);
}

class TMemoryForm : public TForm {
 public:
  explicit TMemoryForm(TComponent* owner) : TForm(owner) {
    Web = new TGeneralHttpEngine(this);
    Web->SetAutoReadLimit(1 << 30);
    Web->SetOnExecRequest([this](TObject*) {
      const std::string value = Web->GetField("big", "");
      const int64_t most = peak;
      Web->Write("<p>" + std::to_string(most) + " " + std::to_string(value.size()));
    });
  }
  TGeneralHttpEngine* Web;
};

}  // namespace

void* operator new(size_t size) { return Counted(size); }
void* operator new[](size_t size) { return Counted(size); }
void operator delete(void* p) noexcept { Uncounted(p); }
void operator delete[](void* p) noexcept { Uncounted(p); }
void operator delete(void* p, size_t) noexcept { Uncounted(p); }
void operator delete[](void* p, size_t) noexcept { Uncounted(p); }

int main(int argc, char** argv) {
  SetCommandLine(argc, argv);
  StartModules({{"HttpEng", HttpEngStart, HttpEngEnd}, {"CgiSEng", CgiSEngStart, CgiSEngEnd}});
  InitApplication();
  TMemoryForm* form = nullptr;
  Application->CreateForm(form);
  Application->Run();
  RunModuleEndSteps();
  return 0;
}
