#include "write_behind.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace huff {

TWriteBehindStream::TWriteBehindStream(std::unique_ptr<TStream> target, std::size_t blockSize)
    : Target(std::move(target)), Filling(blockSize), Pending(blockSize) {
  try {
    Writer = std::thread(&TWriteBehindStream::WriteLoop, this);
  } catch (const std::system_error&) {
    // No second thread: every write goes straight to the target, as without this stream.
  }
}

TWriteBehindStream::~TWriteBehindStream() {
  Stop();
}

void TWriteBehindStream::Write(std::span<const std::uint8_t> data) {
  if (!Writer.joinable()) {
    Target->Write(data);
    return;
  }
  while (!data.empty()) {
    const std::size_t count = std::min(data.size(), Filling.size() - Filled);
    std::memcpy(Filling.data() + Filled, data.data(), count);
    Filled += count;
    data = data.subspan(count);
    if (Filled == Filling.size())
      HandOver();
  }
}

void TWriteBehindStream::HandOver() {
  std::unique_lock<std::mutex> lock(Lock);
  Changed.wait(lock, [&] { return !Busy; });
  // After a failure nothing more is written: the run is lost, and the caller hears of it.
  if (Failure)
    std::rethrow_exception(Failure);
  std::swap(Filling, Pending);
  PendingSize = Filled;
  Filled = 0;
  Busy = true;
  lock.unlock();
  Changed.notify_all();
}

void TWriteBehindStream::Drain() {
  if (!Writer.joinable())
    return;
  if (Filled > 0)
    HandOver();
  std::unique_lock<std::mutex> lock(Lock);
  Changed.wait(lock, [&] { return !Busy; });
  if (Failure)
    std::rethrow_exception(Failure);
}

void TWriteBehindStream::WriteLoop() {
  std::unique_lock<std::mutex> lock(Lock);
  for (;;) {
    Changed.wait(lock, [&] { return Busy || Stopping; });
    if (!Busy)
      return;
    lock.unlock();
    std::exception_ptr failure;
    try {
      Target->Write(std::span<const std::uint8_t>(Pending.data(), PendingSize));
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    if (failure)
      Failure = failure;
    Busy = false;
    Changed.notify_all();
  }
}

void TWriteBehindStream::Stop() noexcept {
  if (!Writer.joinable())
    return;
  {
    const std::lock_guard<std::mutex> lock(Lock);
    Stopping = true;
  }
  Changed.notify_all();
  Writer.join();
}

void TWriteBehindStream::Close() {
  Drain();
  Stop();
  Target->Close();
}

void TWriteBehindStream::Abandon() noexcept {
  Stop();
  Target->Abandon();
}

std::size_t TWriteBehindStream::Read(std::span<std::uint8_t> data) {
  Drain();
  return Target->Read(data);
}

std::size_t TWriteBehindStream::ReadAt(std::uint64_t offset, std::span<std::uint8_t> data) {
  Drain();
  return Target->ReadAt(offset, data);
}

void TWriteBehindStream::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) {
  Drain();
  Target->WriteAt(offset, data);
}

void TWriteBehindStream::Rewind() {
  Drain();
  Target->Rewind();
}

std::uint64_t TWriteBehindStream::Size() {
  Drain();
  return Target->Size();
}

}  // namespace huff
