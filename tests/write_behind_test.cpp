// The image written on a second thread: the same bytes in the same order, and no failure of
// the target lost on the way.
#include "write_behind.h"

#include <gtest/gtest.h>

#include <memory>

#include "errors.h"
#include "support.h"

namespace {

using testing_support::Bytes;
using testing_support::RandomBytes;

// A memory stream whose Nth write fails, as a full disk would; it records whether it was
// closed or abandoned.
class TFailingStream final : public huff::TStream {
 public:
  explicit TFailingStream(int failAt) : FailAt(failAt) {}
  std::size_t Read(std::span<std::uint8_t> data) override { return Memory.Read(data); }
  void Write(std::span<const std::uint8_t> data) override {
    if (++Writes == FailAt)
      throw huff::EInOutError("Cannot write file image: No space left on device");
    Memory.Write(data);
  }
  std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> data) override {
    return Memory.ReadAt(offset, data);
  }
  void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) override {
    Memory.WriteAt(offset, data);
  }
  void Rewind() override { Memory.Rewind(); }
  std::uint64_t Size() override { return Memory.Size(); }
  void Close() override { Closed = true; }
  void Abandon() noexcept override { Abandoned = true; }
  const std::string& Name() const noexcept override { return Memory.Name(); }

  huff::TMemoryStream Memory;
  int FailAt;
  int Writes = 0;
  bool Closed = false;
  bool Abandoned = false;
};

// Pieces of every size around the block's, empty ones among them.
void WriteInPieces(huff::TStream& stream, const Bytes& bytes) {
  std::size_t at = 0;
  for (std::size_t piece = 0; at < bytes.size(); piece = (piece * 7 + 3) % 40) {
    const std::size_t count = std::min(piece, bytes.size() - at);
    stream.Write(std::span(bytes).subspan(at, count));
    at += count;
  }
}

TEST(WriteBehind, BytesArriveInOrderWhateverThePiecesAndBlocks) {
  const Bytes bytes = RandomBytes(5000, 3);
  for (std::size_t block : {1, 7, 16, 4096, 8192}) {
    auto target = std::make_unique<TFailingStream>(0);
    TFailingStream& written = *target;
    huff::TWriteBehindStream stream(std::move(target), block);
    WriteInPieces(stream, bytes);
    stream.Close();
    EXPECT_EQ(written.Memory.Contents(), bytes) << "block " << block;
    EXPECT_TRUE(written.Closed);
    EXPECT_EQ(written.Writes, static_cast<int>((bytes.size() + block - 1) / block));
  }
}

// Whichever write fails, the failure reaches the caller, by a later Write or by Close, and
// the target is abandoned, not closed.
TEST(WriteBehind, AFailedWriteIsRaisedByALaterCallAndNothingIsClosed) {
  const Bytes bytes = RandomBytes(1000, 4);
  constexpr std::size_t Block = 64;
  for (int failAt = 1; failAt <= 16; ++failAt) {
    auto target = std::make_unique<TFailingStream>(failAt);
    TFailingStream& written = *target;
    huff::TWriteBehindStream stream(std::move(target), Block);
    bool raised = false;
    try {
      WriteInPieces(stream, bytes);
      stream.Close();
    } catch (const huff::EInOutError& error) {
      raised = true;
      EXPECT_STREQ(error.what(), "Cannot write file image: No space left on device");
    }
    EXPECT_TRUE(raised) << "write " << failAt;
    stream.Abandon();
    EXPECT_FALSE(written.Closed) << "write " << failAt;
    EXPECT_TRUE(written.Abandoned) << "write " << failAt;
    // Nothing after the failed block was written.
    EXPECT_EQ(written.Writes, failAt);
  }
}

}  // namespace
