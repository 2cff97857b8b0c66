#include <array>
#include <atomic>
#include <cstring>
#include <utility>

#include "file/unfinished.h"

namespace huff {
namespace {

enum TSlotState : int { Free, Filling, Armed, Taken };
struct TUnfinished {
  std::atomic<int> State{Free};
  char Path[4096];
  TFile::TIdentity Identity;
};
static_assert(std::atomic<int>::is_always_lock_free, "read from signal handlers");
// A run writes one output; the tests hold a few at once.
std::array<TUnfinished, 8> Unfinished;

}  // namespace

std::string NewFileName(const std::string& target, std::uint32_t unique) {
  const char* digits = "0123456789abcdef";
  std::string tag;
  for (int shift = 20; shift >= 0; shift -= 4)
    tag += digits[(unique >> shift) & 15];
  return target + ".sarnveld-" + tag + ".tmp";
}

int RecordUnfinished(const std::string& path, const TFile::TIdentity& identity) noexcept {
  if (path.size() >= sizeof Unfinished[0].Path)
    return -1;
  for (std::size_t slot = 0; slot < Unfinished.size(); ++slot) {
    int expected = Free;
    if (!Unfinished[slot].State.compare_exchange_strong(expected, Filling))
      continue;
    std::memcpy(Unfinished[slot].Path, path.c_str(), path.size() + 1);
    Unfinished[slot].Identity = identity;
    Unfinished[slot].State.store(Armed);
    return static_cast<int>(slot);
  }
  return -1;
}

void ForgetUnfinished(int slot) noexcept {
  if (slot < 0)
    return;
  int expected = Armed;
  if (!Unfinished[static_cast<std::size_t>(slot)].State.compare_exchange_strong(expected, Free))
    WaitForTheEnd();
}

TFile::~TFile() {
  Abandon();
}

void TFile::Abandon() noexcept {
  Release(Handle);
  if (!NewPath.empty())
    RemoveNewFile(NewPath.c_str(), Identity);
  NewPath.clear();
  // Only now: a signal or console event until here removes the new file too.
  ForgetUnfinished(std::exchange(UnfinishedSlot, -1));
  Release(Held);
}

void RemoveUnfinishedOutputs() noexcept {
  for (TUnfinished& entry : Unfinished) {
    int expected = Armed;
    if (entry.State.compare_exchange_strong(expected, Taken))
      RemoveNewFile(entry.Path, entry.Identity);
  }
}

}  // namespace huff
