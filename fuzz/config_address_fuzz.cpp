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
// negative values stay; each such value, and a node id beyond 127, is
// logged once, with the place of the entry. .BAUDRATE" only ever takes an
// NTCAN baud-rate code (0..14) or the bit rate of one in bit/s. A load that fails changes nothing. A client
// writing the entry's values is refused, changing nothing, unless they are
// within the limits (line 0..20, the others 0..2000). What the node saves
// reads back to the same address.
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include "D_vorbel.h"
#include "fuzz_support.h"

namespace {

bool baud_rate_value(int v) {
  static const int kBitRates[] = {1000000, 800000, 666666, 500000, 333333, 250000, 166666, 125000,
                                  100000,  66666,  50000,  33333,  20000,  12500,  10000};
  for (int rate : kBitRates)
    if (v == rate) return true;
  return v >= 0 && v <= 14;
}

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

// Values the load logs: beyond a limit, negative, or a node id no CANopen
// service takes.
int logged_values(const IIII& a) {
  return (a.i1_data > 20 || a.i1_data < 0) + (a.i2_data > 127 || a.i2_data < 0) + (a.i3_data > 2000 || a.i3_data < 0) +
         (a.i4_data > 2000 || a.i4_data < 0);
}

bool client_may_set(const IIII& a) {
  return a.i1_data >= 0 && a.i1_data <= 20 && a.i2_data >= 0 && a.i2_data <= 2000 && a.i3_data >= 0 &&
         a.i3_data <= 2000 && a.i4_data >= 0 && a.i4_data <= 2000;
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
  const IIII before[2] = {IIII{1, 5, 0, 0}, IIII{2, 6, 0, 0}};
  D_int* bauds[2];
  for (int k = 0; k < 2; ++k) {
    IIII a = before[k];
    c.nodes[k]->set_value(&a);
    bauds[k] = dynamic_cast<D_int*>(c.eq.find_property(c.nodes[k]->basename() + ".BAUDRATE"));
    bauds[k]->set_value(6);
  }
  fuzzsupport::Log::get().clear();
  fuzzsupport::write_file(c.file, std::string(reinterpret_cast<const char*>(data), size));
  std::string error;
  const int r = c.eq.load_config(c.file, &error);
  FUZZ_CHECK(r == 0 || r == -1, "load answered %d", r);

  std::string saved = "eq_fct: FUZZ\n";
  const std::vector<std::string> warnings = fuzzsupport::Log::get().texts("D_can::read");
  for (int k = 0; k < 2; ++k) {
    const std::string& name = c.nodes[k]->basename();
    IIII raw = before[k];
    std::string place = c.file + " (no entry)";
    if (const D_conf_struct* entry = r == 0 ? c.eq.find_conf(name) : nullptr) {
      raw = entry->iiii;
      place = c.file + ":" + std::to_string(entry->line);
    }
    const IIII expected = r == 0 ? limited(raw) : before[k];
    const IIII got = *c.nodes[k]->value();
    FUZZ_CHECK(got == expected, "%s holds %s, expected %s", name.c_str(), text(got).c_str(), text(expected).c_str());
    int logged = 0;
    const std::string head = place + ": " + name + ": ";
    for (const std::string& w : warnings) logged += w.compare(0, head.size(), head) == 0;
    FUZZ_CHECK(logged == (r == 0 ? logged_values(raw) : 0), "%s: %d values logged for %s", name.c_str(), logged,
               text(raw).c_str());

    const D_conf_struct* baud = r == 0 ? c.eq.find_conf(name + ".BAUDRATE") : nullptr;
    const int expected_baud = baud && baud_rate_value(baud->ival) ? baud->ival : 6;
    FUZZ_CHECK(bauds[k]->value() == expected_baud, "%s.BAUDRATE holds %d", name.c_str(), bauds[k]->value());

    // A client writing the raw values.
    EqData in;
    in.set(raw);
    const int set = c.eq.client_set(name, in, "fuzz", "host");
    FUZZ_CHECK(set == (client_may_set(raw) ? 0 : NTCAN_INVALID_PARAMETER), "client write of %s answered %d",
               text(raw).c_str(), set);
    FUZZ_CHECK(*c.nodes[k]->value() == (set == 0 ? raw : got), "client write of %s left %s", text(raw).c_str(),
               text(*c.nodes[k]->value()).c_str());
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
