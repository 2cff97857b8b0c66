// What the two sides of the file layer share, not beyond it: the outputs being written, as a
// signal or console handler may read them. A fixed table of plain data, each entry claimed and
// released by one atomic state; each platform removes a new file its own way.
#pragma once

#include <cstdint>
#include <string>

#include "file/file.h"

namespace huff {

// The name of the new file that an output `target` is written to beside it, with `unique` in
// it: "blinky.hex.sarnveld-1a2b3c.tmp". A run killed outright (SIGKILL, a power cut) can leave
// one, which is incomplete.
std::string NewFileName(const std::string& target, std::uint32_t unique);

// Records a new file being written; the slot, or -1 when the table is full.
int RecordUnfinished(const std::string& path, const TFile::TIdentity& identity) noexcept;
// Takes the record back once the file is in place or removed. When a handler has taken it,
// the process is about to end, and this waits for that end: the run must not go on to report.
void ForgetUnfinished(int slot) noexcept;

// The platform's part: removes the new file at `path` when it is still `identity`.
// Async-signal-safe.
void RemoveNewFile(const char* path, const TFile::TIdentity& identity) noexcept;
// Closes handle unless it is -1 and makes it -1; false when the close failed, the reason
// still in errno or GetLastError. The handle is released even then: retrying could close one
// that another thread has opened meanwhile.
bool Release(std::intptr_t& handle) noexcept;
// Waits for the end that a handler gives the process.
[[noreturn]] void WaitForTheEnd() noexcept;

}  // namespace huff
