#include "base/thread_buffer.h"

namespace huff {

thread_local bool TThreadBuffer::Taken = false;
thread_local std::unique_ptr<std::uint8_t[]> TThreadBuffer::Kept;
thread_local std::size_t TThreadBuffer::Capacity = 0;

}  // namespace huff
