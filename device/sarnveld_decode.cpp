// The device reader: one pass over the container, a bit at a time, with the code tree as
// its only table. Freestanding: no heap, exceptions, recursion, floating point or division,
// and nothing of the library but memset.
#include "sarnveld_decode.h"

#include <string.h>

namespace {

constexpr unsigned HeaderSize = 40;
constexpr unsigned EndMarker = 256;
constexpr unsigned Leaf = SARNVELD_DECODE_LEAF;
constexpr unsigned OutBytes = SARNVELD_DECODE_OUT_BYTES;

// The sections of the stream, in their order.
enum TPhase : uint8_t { StartBit, Map, Flag, Length, Code, Data, Ended };

static_assert(sizeof(sarnveld_decoder{}.tree) / sizeof(sarnveld_decoder{}.tree[0]) == 256,
              "a complete code of 257 symbols has 256 inner nodes");
static_assert(OutBytes >= 1 && OutBytes <= 255, "out_count is a byte");

// At most 15 bytes of name, then zero bytes only.
bool NameIsValid(const uint8_t* field) {
  if (field[15] != 0)
    return false;
  for (unsigned i = 1; i < 16; ++i)
    if (field[i] != 0 && field[i - 1] == 0)
      return false;
  return true;
}

int StoreHeaderByte(sarnveld_decoder* d, uint8_t byte) {
  const unsigned at = d->header_bytes++;
  if (at < 16) {
    d->header.name_id[at] = byte;
  } else if (at < 32) {
    d->header.manufacturer[at - 16] = byte;
  } else if (at < 36) {
    d->header.payload_size |= static_cast<uint32_t>(byte) << (8 * (at - 32));
  } else {
    d->header.checksum |= static_cast<uint32_t>(byte) << (8 * (at - 36));
  }
  if (d->header_bytes < HeaderSize)
    return SARNVELD_DECODE_OK;
  d->payload_left = d->header.payload_size;
  if (!NameIsValid(d->header.name_id) || !NameIsValid(d->header.manufacturer))
    return SARNVELD_DECODE_BAD_HEADER;
  return SARNVELD_DECODE_OK;
}

// The first byte value from `from` on that the map names, or the end marker after the last.
unsigned NextPresent(const sarnveld_decoder* d, unsigned from) {
  for (unsigned value = from; value < 256; ++value)
    if (d->buffer.map[value / 8] & (0x80u >> (value % 8)))
      return value;
  return EndMarker;
}

// One bit of the start bit, the map or the code entries. Codes go into the tree as their bits
// come, so that a clash is found at the bit that makes it.
int TableBit(sarnveld_decoder* d, unsigned bit) {
  switch (d->phase) {
    case StartBit:
      if (bit == 0)
        return SARNVELD_DECODE_BAD_TABLE;
      d->phase = Map;
      d->symbol = 0;
      return SARNVELD_DECODE_OK;

    case Map:
      if (bit != 0) {
        d->buffer.map[d->symbol / 8] |= static_cast<uint8_t>(0x80u >> (d->symbol % 8));
        ++d->present;
      }
      if (++d->symbol < 256)
        return SARNVELD_DECODE_OK;
      if (d->present == 0) {
        // An empty image: no entries, not even the end marker's; only fill may follow.
        d->phase = Ended;
        return SARNVELD_DECODE_OK;
      }
      d->inner = 1;  // the root
      d->open = 2;
      d->symbol = static_cast<uint16_t>(NextPresent(d, 0));
      d->phase = Flag;
      return SARNVELD_DECODE_OK;

    case Flag:
      if (bit != 0)
        return SARNVELD_DECODE_BAD_TABLE;
      d->left = 1;  // a marking bit above the five of the length
      d->phase = Length;
      return SARNVELD_DECODE_OK;

    case Length:
      d->left = static_cast<uint8_t>(d->left * 2 + bit);
      if (d->left < 32)
        return SARNVELD_DECODE_OK;
      d->left = static_cast<uint8_t>((d->left & 31) + 1);
      d->node = 0;
      d->phase = Code;
      return SARNVELD_DECODE_OK;

    case Code: {
      uint16_t& child = d->tree[d->node][bit];
      if (--d->left > 0) {
        if (child == 0) {
          // A complete code of n symbols has n - 1 inner nodes: the map names n - 1 byte
          // values. One node more and the codes cannot be complete; the tree stays in bounds.
          if (d->inner == d->present)
            return SARNVELD_DECODE_BAD_TABLE;
          child = d->inner++;
          d->tree[child][0] = d->tree[child][1] = 0;
          ++d->open;  // two children missing, one found
        } else if (child & Leaf) {
          return SARNVELD_DECODE_BAD_TABLE;  // an earlier code begins this one
        }
        d->node = child;
        return SARNVELD_DECODE_OK;
      }
      if (child != 0)
        return SARNVELD_DECODE_BAD_TABLE;  // this code is, or begins, an earlier one
      child = static_cast<uint16_t>(Leaf | d->symbol);
      --d->open;
      if (d->symbol == EndMarker) {
        if (d->open != 0)
          return SARNVELD_DECODE_BAD_TABLE;  // some bit sequence begins no code
        d->node = 0;
        d->phase = Data;
        return SARNVELD_DECODE_OK;
      }
      d->symbol = static_cast<uint16_t>(NextPresent(d, d->symbol + 1u));
      if (d->symbol == EndMarker && d->open == 0)
        return SARNVELD_DECODE_BAD_TABLE;  // the byte values left no room for the end marker
      d->phase = Flag;
      return SARNVELD_DECODE_OK;
    }
  }
  return SARNVELD_DECODE_BAD_TABLE;  // a phase past the table never comes here
}

// Hands the gathered image bytes to the sink, up to the longest image a container holds,
// which no packer writes: whatever the pieces, the sink has the same bytes.
int Flush(sarnveld_decoder* d, unsigned count) {
  d->out_count = 0;
  const unsigned fits = count < d->image_left ? count : static_cast<unsigned>(d->image_left);
  d->image_left -= fits;
  if (fits > 0 && d->sink != NULL && d->sink(d->user, d->buffer.out, fits) != 0)
    return SARNVELD_DECODE_STOPPED;
  return fits < count ? SARNVELD_DECODE_BAD_STREAM : SARNVELD_DECODE_OK;
}

// The coded data: the last `remaining` bits of `byte`, then bytes[*at] on, each walked down the
// tree a bit at a time. Returns at the end of the bytes or of the stream, its fill checked.
// The state is in locals: stores of image bytes may alias any field, and would make the
// compiler reload them.
int DecodeData(sarnveld_decoder* d, const uint8_t* bytes, size_t size, unsigned byte,
               unsigned remaining, size_t* at) {
  // Children as signed: a leaf is negative.
  const int16_t* const tree = reinterpret_cast<const int16_t*>(d->tree);
  uint8_t* const out = d->buffer.out;
  int node = d->node;
  unsigned count = d->out_count;
  uint32_t sum = d->sum;
  uint32_t left = d->payload_left;
  size_t i = *at;
  int status = SARNVELD_DECODE_OK;

// One bit of the byte, bit k counted from the least significant. Spelt out eight times: the
// shifts and the fill's mask are constants, and no loop counts the bits.
#define SARNVELD_STEP(k)                                           \
  node = tree[2 * node + ((byte >> (k)) & 1)];                     \
  if (node < 0) {                                                  \
    if (node == static_cast<int16_t>(Leaf | EndMarker)) {          \
      if ((byte & ((1u << (k)) - 1)) != 0)                         \
        status = SARNVELD_DECODE_BAD_STREAM; /* a 1 in the fill */ \
      d->phase = Ended;                                            \
      goto done;                                                   \
    }                                                              \
    out[count++] = static_cast<uint8_t>(node);                     \
    node = 0;                                                      \
  }

  for (;;) {
    // A byte has at most 8 codes: with room for them, a leaf needs no check for a full buffer.
    static_assert(OutBytes >= 8);
    if (count > OutBytes - 8) {
      status = Flush(d, count);
      count = 0;
      if (status != SARNVELD_DECODE_OK)
        break;
    }
    switch (remaining) {  // into the byte at its first unread bit
      case 8:
        SARNVELD_STEP(7)
        [[fallthrough]];
      case 7:
        SARNVELD_STEP(6)
        [[fallthrough]];
      case 6:
        SARNVELD_STEP(5)
        [[fallthrough]];
      case 5:
        SARNVELD_STEP(4)
        [[fallthrough]];
      case 4:
        SARNVELD_STEP(3)
        [[fallthrough]];
      case 3:
        SARNVELD_STEP(2)
        [[fallthrough]];
      case 2:
        SARNVELD_STEP(1)
        [[fallthrough]];
      case 1:
        SARNVELD_STEP(0)
        [[fallthrough]];
      default:
        break;
    }
#undef SARNVELD_STEP
    if (i == size)
      break;
    if (left == 0) {
      status = SARNVELD_DECODE_BAD_SIZE;
      break;
    }
    --left;
    byte = bytes[i++];
    sum += byte;
    remaining = 8;
  }
done:
  d->node = static_cast<uint16_t>(node);
  d->out_count = static_cast<uint8_t>(count);
  d->sum = sum;
  d->payload_left = left;
  *at = i;
  return status;
}

// The payload's bytes, through the table, the data and the fill.
int Payload(sarnveld_decoder* d, const uint8_t* bytes, size_t size) {
  size_t i = 0;
  unsigned byte = 0;
  unsigned remaining = 0;  // bits of byte still to be read, its last ones
  for (;;) {
    if (d->phase == Data) {
      const int status = DecodeData(d, bytes, size, byte, remaining, &i);
      if (status != SARNVELD_DECODE_OK || d->phase == Data)
        return status;
      remaining = 0;  // DecodeData checked the fill
    }
    while (remaining > 0 && d->phase < Data) {
      const int status = TableBit(d, (byte >> --remaining) & 1);
      if (status != SARNVELD_DECODE_OK)
        return status;
    }
    if (d->phase == Data)
      continue;  // the data begin inside this byte
    if (d->phase == Ended && (byte & ((1u << remaining) - 1)) != 0)
      return SARNVELD_DECODE_BAD_STREAM;  // a 1 in the fill after an empty map
    if (i == size)
      return SARNVELD_DECODE_OK;
    if (d->payload_left == 0)
      return SARNVELD_DECODE_BAD_SIZE;
    --d->payload_left;
    d->sum += bytes[i];
    if (d->phase == Ended)
      return SARNVELD_DECODE_BAD_STREAM;  // a byte after the stream's end
    byte = bytes[i++];
    remaining = 8;
  }
}

int Fail(sarnveld_decoder* d, int status) {
  d->status = static_cast<int8_t>(status);
  return status;
}

}  // namespace

extern "C" {

void sarnveld_decoder_init(sarnveld_decoder* decoder, sarnveld_sink sink, void* user) {
  memset(decoder, 0, sizeof *decoder);
  decoder->sink = sink;
  decoder->user = user;
  decoder->phase = StartBit;
  decoder->image_left = 2147483646u;
}

int sarnveld_decoder_feed(sarnveld_decoder* decoder, const uint8_t* bytes, size_t size) {
  if (decoder->status != SARNVELD_DECODE_OK)
    return decoder->status;
  while (size > 0 && decoder->header_bytes < HeaderSize) {
    const int status = StoreHeaderByte(decoder, *bytes++);
    --size;
    if (status != SARNVELD_DECODE_OK)
      return Fail(decoder, status);
  }
  int status = Payload(decoder, bytes, size);
  // The image decoded so far reaches the sink before the call returns: nothing is held back
  // in a saved state, and before a fault the sink has the same bytes however the container
  // was split. Its stop, at bytes before the fault, comes first: as when they came apart.
  if (status != SARNVELD_DECODE_STOPPED) {
    const int flushed = Flush(decoder, decoder->out_count);
    if (status == SARNVELD_DECODE_OK || flushed == SARNVELD_DECODE_STOPPED)
      status = flushed;
  }
  return status == SARNVELD_DECODE_OK ? status : Fail(decoder, status);
}

int sarnveld_decoder_finish(sarnveld_decoder* decoder) {
  if (decoder->status != SARNVELD_DECODE_OK)
    return decoder->status;
  // A cut container shows a stream that breaks off: that is its size's fault.
  if (decoder->header_bytes < HeaderSize || decoder->payload_left != 0)
    return Fail(decoder, SARNVELD_DECODE_BAD_SIZE);
  if (decoder->phase != Ended)
    return Fail(decoder, SARNVELD_DECODE_BAD_STREAM);  // the payload ends before the stream
  if (decoder->sum != decoder->header.checksum)
    return Fail(decoder, SARNVELD_DECODE_BAD_CHECKSUM);
  return SARNVELD_DECODE_OK;
}

const sarnveld_header* sarnveld_decoder_header(const sarnveld_decoder* decoder) {
  return decoder->header_bytes == HeaderSize ? &decoder->header : NULL;
}

}  // extern "C"
