// The configuration read of node addresses against arbitrary configuration
// text.
//
// Input: the whole configuration file. Two nodes, NODE1 and NODE2, live in
// the equipment function FUZZ; before each load they hold 1/5/0/0 and
// 2/6/0/0.
//
// Properties: a load that succeeds leaves each node with the four values of
// its entry (or its address before, when the file has none), with the
// limits applied: a line above 20 and identifiers above 2000 read as 0,
// negative values stay. A load that fails changes nothing. What the node
// saves reads back to the same address.
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include "D_vorbel.h"
#include "fuzz_support.h"

namespace {

struct Bench {
  EqFct eq{"FUZZ"};
  EqFct again{"FUZZ"};
  std::unique_ptr<D_can> nodes[2];
  std::unique_ptr<D_can> copies[2];
  std::string file;
  std::string saved;
};

Bench& bench() {
  static Bench* c = [] {
    fuzzsupport::Log::get();
    auto* cfg = new Bench;
    cfg->nodes[0] = std::make_unique<D_can>("NODE1", &cfg->eq);
    cfg->nodes[1] = std::make_unique<D_can>("NODE2 second node", &cfg->eq);
    cfg->copies[0] = std::make_unique<D_can>("NODE1", &cfg->again);
    cfg->copies[1] = std::make_unique<D_can>("NODE2", &cfg->again);
    cfg->file = fuzzsupport::scratch_file("server.conf");
    cfg->saved = fuzzsupport::scratch_file("saved.conf");
    return cfg;
  }();
  return *c;
}

IIII limited(IIII a) {
  if (a.i1_data > 20) a.i1_data = 0;
  if (a.i2_data > 2000) a.i2_data = 0;
  if (a.i3_data > 2000) a.i3_data = 0;
  if (a.i4_data > 2000) a.i4_data = 0;
  return a;
}

std::string text(const IIII& a) {
  return std::to_string(a.i1_data) + " " + std::to_string(a.i2_data) + " " + std::to_string(a.i3_data) + " " +
         std::to_string(a.i4_data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bench& c = bench();
  fuzzsupport::Log::get().clear();
  const IIII before[2] = {IIII{1, 5, 0, 0}, IIII{2, 6, 0, 0}};
  for (int k = 0; k < 2; ++k) {
    IIII a = before[k];
    c.nodes[k]->set_value(&a);
  }
  fuzzsupport::write_file(c.file, std::string(reinterpret_cast<const char*>(data), size));
  std::string error;
  const int r = c.eq.load_config(c.file, &error);
  FUZZ_CHECK(r == 0 || r == -1, "load answered %d", r);

  std::string saved = "eq_fct: FUZZ\n";
  for (int k = 0; k < 2; ++k) {
    IIII expected = before[k];
    if (r == 0) {
      if (const D_conf_struct* entry = c.eq.find_conf(c.nodes[k]->basename())) expected = entry->iiii;
      expected = limited(expected);
    }
    const IIII got = *c.nodes[k]->value();
    FUZZ_CHECK(got == expected, "%s holds %s, expected %s", c.nodes[k]->basename().c_str(), text(got).c_str(),
               text(expected).c_str());
    std::ostringstream value;
    c.nodes[k]->write(value);
    saved += c.nodes[k]->basename() + ":" + value.str();
  }

  // What the nodes save loads back unchanged.
  fuzzsupport::write_file(c.saved, saved);
  FUZZ_CHECK(c.again.load_config(c.saved, &error) == 0, "saved addresses do not load: %s", error.c_str());
  for (int k = 0; k < 2; ++k)
    FUZZ_CHECK(*c.copies[k]->value() == *c.nodes[k]->value(), "%s reads back as %s, saved %s",
               c.nodes[k]->basename().c_str(), text(*c.copies[k]->value()).c_str(),
               text(*c.nodes[k]->value()).c_str());
  return 0;
}
