// The data-sheet reader against arbitrary file text.
//
// Input: the whole file.
//
// Properties: the reader never crashes or throws; every diagnostic names the
// file, and a line within it; a file that loads has its objects in
// increasing index order, each entry found again by index and subindex; an
// entry's start value that fits its type goes to bytes and back to the same
// value (numbers and texts; a REAL32 as a float), and a value that does not
// fit is never turned into bytes.
#include <cmath>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "vorbel_od.h"

namespace od = vorbel::od;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::Input in(data, size);
  const std::string text = in.rest();
  const od::LoadResult r = od::parse(text, "fuzz.eds");
  long lines = 1;
  for (char c : text) lines += c == '\n';
  for (const auto* list : {&r.warnings, &r.errors}) {
    for (const od::Diagnostic& d : *list) {
      FUZZ_CHECK(d.to_string().rfind("fuzz.eds", 0) == 0, "diagnostic without the file: %s", d.to_string().c_str());
      FUZZ_CHECK(d.line >= 0 && d.line <= lines, "line %d of %ld", d.line, lines);
    }
  }
  FUZZ_CHECK(r.ok() == r.errors.empty(), "%zu errors, loaded %d", r.errors.size(), r.ok());
  if (!r.ok()) return 0;
  const od::Dictionary& d = *r.dictionary;
  int previous = -1, looked_up = 0;
  for (const od::Object& o : d.objects()) {
    FUZZ_CHECK(o.index > previous, "object 0x%04X after 0x%04X", o.index, previous);
    previous = o.index;
    for (const od::Entry& e : o.entries) {
      FUZZ_CHECK(d.entry(e.index, e.subindex) == &e, "0x%04X/%u not found", e.index, e.subindex);
      if (++looked_up <= 16) {  // a lookup by name walks every entry
        d.entry(e.object_name + "." + e.name);
        d.entry(e.name);
      }
      const od::Value v = e.start_value().at(e.index & 0x7F);
      std::string bytes;
      const bool fits = od::fit(e, v, 5) == od::Fit::Ok;
      FUZZ_CHECK(od::encode(e, v, 5, &bytes) == fits, "encode and fit disagree on %s", v.to_string().c_str());
      if (!fits || e.start_value().node_ids != 0) continue;
      od::Value back;
      FUZZ_CHECK(od::decode(e, bytes, &back), "%zu bytes of 0x%04X/%u do not decode", bytes.size(), e.index, e.subindex);
      if (v.kind() == od::Value::Kind::Real) {
        const double want = od::type_size(e.data_type) == 4 ? static_cast<double>(static_cast<float>(v.as_real())) : v.as_real();
        FUZZ_CHECK(back.as_real() == want || (std::isnan(want) && std::isnan(back.as_real())), "%s came back as %s",
                   v.to_string().c_str(), back.to_string().c_str());
      } else if (v.kind() == od::Value::Kind::Text && od::type_size(e.data_type) == 0 &&
                 v.as_text().find('\0') == std::string::npos) {
        FUZZ_CHECK(back.as_text() == v.as_text(), "'%s' came back as '%s'", v.to_string().c_str(), back.to_string().c_str());
      } else if (v.kind() == od::Value::Kind::Integer || v.kind() == od::Value::Kind::Unsigned) {
        FUZZ_CHECK(back.to_string() == v.to_string(), "%s came back as %s", v.to_string().c_str(), back.to_string().c_str());
      }
    }
  }
  return 0;
}
