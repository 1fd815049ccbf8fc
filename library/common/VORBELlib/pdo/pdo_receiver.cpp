// The decoded values of one transmit PDO, written by the server loop and
// read on any thread through a sequence lock: the writer makes the
// sequence odd, stores the frame's data word and its time, makes it even
// again (the sequence, moved by two per frame, also counts the frames); a
// reader that saw the same even sequence before and after its loads has
// one frame's values, which it takes apart by the mapping. The words are
// stored with release and loaded with acquire, so that a reader that loads
// a word of a newer frame also sees that frame's odd sequence (no
// stand-alone fences: free on x86, and ThreadSanitizer can follow it).
#include <thread>

#include "pdo/pdo_bits.h"

namespace vorbel {

namespace {
constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr auto kAcquire = std::memory_order_acquire;
std::size_t index(int i) { return static_cast<std::size_t>(i); }
}  // namespace

PdoReceiver::PdoReceiver(int32_t can_id, const PdoMapping& mapping)
    : can_id_(can_id >= 0 && can_id <= 0x7FF ? can_id : -1),
      mapping_(mapping),
      bytes_(mapping.bytes()) {
  for (int i = 0; i < mapping_.size(); ++i)
    fields_[index(i)] = Field{bit_mask(mapping_[i].bits), static_cast<unsigned>(mapping_.offset(i))};
}

PdoSample PdoReceiver::latest() const {
  PdoSample out;
  out.count = mapping_.size();
  uint64_t word = 0;
  uint64_t before = 0;
  for (;;) {
    before = seq_.load(kAcquire);
    if (before & 1) {  // take() is writing: a few instructions
      std::this_thread::yield();
      continue;
    }
    word = word_.load(kAcquire);
    out.time_ms = time_ms_.load(kAcquire);
    if (seq_.load(kRelaxed) == before) break;
  }
  out.decoded = before / 2;
  if (out.decoded > 0) {
    for (int i = 0; i < out.count; ++i) {
      const Field& f = fields_[index(i)];
      out.values[index(i)] = value_of(mapping_[i], (word >> f.shift) & f.mask);
    }
  }
  return out;
}

PdoValue PdoReceiver::value(int i) const {
  if (i < 0 || i >= mapping_.size()) return PdoValue();
  return latest().values[index(i)];
}

}  // namespace vorbel
