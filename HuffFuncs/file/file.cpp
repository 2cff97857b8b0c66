// What both platforms share: the unfinished outputs' table, new names, failures, the closes.
#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "base/errors.h"
#include "file/file.h"

namespace huff {
namespace {

enum TSlotState : int { Free, Filling, Armed, Taken };  // of an entry, claimed atomically
struct TUnfinished {
  std::atomic<int> State{Free};
  char Path[4096];
  TFile::TIdentity Identity;
};
static_assert(std::atomic<int>::is_always_lock_free, "read from signal handlers");
// A run writes one output; the tests hold a few at once.
std::array<TUnfinished, 8> Unfinished;

}  // namespace

void RemoveUnfinishedOutputs() noexcept {
  for (TUnfinished& entry : Unfinished) {
    int expected = Armed;
    if (entry.State.compare_exchange_strong(expected, Taken))
      TFile::RemoveNewFile(entry.Path, entry.Identity);
  }
}

void TFile::ForgetUnfinished(int slot) noexcept {
  int expected = Armed;
  if (slot >= 0 &&
      !Unfinished[static_cast<std::size_t>(slot)].State.compare_exchange_strong(expected, Free))
    for (;;)  // the handler that took the entry ends the process
      std::this_thread::sleep_for(std::chrono::hours(1));
}

// The new file is "blinky.hex.sarnveld-1a2b3c.tmp"; a run killed outright can leave one.
void TFile::MakeNewFile(std::size_t stem) {
  const auto start = static_cast<std::uint32_t>(
      (std::chrono::steady_clock::now().time_since_epoch().count() >> 10) ^
      reinterpret_cast<std::uintptr_t>(this));
  for (std::uint32_t attempt = 0;; ++attempt) {
    const std::uint32_t unique = start ^ attempt * 0x9E3779B9u;
    NewPath = Target.substr(0, stem) + ".sarnveld-";
    for (int shift = 20; shift >= 0; shift -= 4)
      NewPath += "0123456789abcdef"[(unique >> shift) & 15];
    NewPath += ".tmp";
    bool exists = false;
    if (CreateNew(exists))
      break;
    if (!exists || attempt == 100) {
      NewPath.clear();
      throw EFCreateError(Path);  // a folder where no file can be made
    }
  }
  if (NewPath.size() >= sizeof Unfinished[0].Path)
    return;
  for (std::size_t slot = 0; slot < Unfinished.size(); ++slot) {
    int expected = Free;
    if (Unfinished[slot].State.compare_exchange_strong(expected, Filling)) {
      std::memcpy(Unfinished[slot].Path, NewPath.c_str(), NewPath.size() + 1);
      Unfinished[slot].Identity = Identity;
      Unfinished[slot].State.store(Armed);
      UnfinishedSlot = static_cast<int>(slot);
      return;
    }
  }
}

void TFile::Fail(const char* action, unsigned long code, const std::string& more) const {
  std::string reason = SystemErrorText(code);
  if (!more.empty() && reason.ends_with('.'))
    reason.pop_back();
  throw EInOutError(std::string("Cannot ") + action + " file " + Path + ": " + reason + more);
}

void TFile::RefuseIf(bool refused) const {
  if (refused)
    throw EFCreateError(Path);
}

void TFile::Close() {
  // The old file is let go first: a failure to is reported, and leaves it as it was.
  const bool replaces = Held != -1;
  if (!Release(Handle) || !Release(Held))
    Fail("close");
  if (NewPath.empty())
    return;
  // Only a whole file takes the old one's place: a signal until then removes it.
  bool kept = false;
  if (!PutInPlace(NewPath, Target, replaces, kept)) {
    const unsigned long code = LastError();
    if (!kept)
      Fail("replace", code);
    // The only copy left: the report says where it is.
    ForgetUnfinished(std::exchange(UnfinishedSlot, -1));
    Fail("replace", code, "; the new file is kept as " + std::exchange(NewPath, {}));
  }
  NewPath.clear();
  ForgetUnfinished(std::exchange(UnfinishedSlot, -1));
}

TFile::~TFile() {
  Release(Handle);
  if (!NewPath.empty())
    RemoveNewFile(NewPath.c_str(), Identity);
  // Only now: a signal or console event until here removes the new file too.
  ForgetUnfinished(std::exchange(UnfinishedSlot, -1));
  Release(Held);
}

}  // namespace huff
