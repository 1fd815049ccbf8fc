#include "bus_watch.h"

#include <cstdio>

#include "ntcan_sim.h"

namespace demo {

namespace {

constexpr int32_t kSdoResponse = 0x580;
constexpr int32_t kSdoRequest = 0x600;

double kbit_s(uint32_t baud) { return 1e6 / ntcan_sim::bit_time_ns(baud); }

}  // namespace

BusWatch::BusWatch(Display& display, int nets) : display_(display), nets_(nets), transfers_(nets) {
  for (int net = 0; net < nets; ++net) {
    participants_.push_back(
        ntcan_sim::attach(net, "bus watch", [this, net](const ntcan_sim::BusFrame& f) { on_frame(net, f.msg); }));
  }
}

BusWatch::~BusWatch() {
  for (int p : participants_) ntcan_sim::detach(p);
}

std::string BusWatch::load_text() const {
  std::string out;
  for (int net = 0; net < nets_; ++net) {
    const ntcan_sim::BusStats st = ntcan_sim::bus_stats(net);
    char buf[160];
    std::snprintf(buf, sizeof buf, "%sline %d %g kbit/s: load %.2f %%, %llu frames, %llu lost", net ? "   " : "",
                  net + 1, kbit_s(st.baud), 100 * st.load, static_cast<unsigned long long>(st.frames),
                  static_cast<unsigned long long>(st.rx_lost));
    out += buf;
  }
  return out;
}

// A transfer starts with an initiate request (upload 0x40, download 0x2x,
// block upload 0xA0, block download 0xC0) and ends with the answer that
// completes it: an expedited upload's answer, the last segment, the answer
// to a download's expedited or last request, the end answer of a block
// transfer (0xA1, from the node for a download, from the client for an
// upload), or an abort from either side. The first byte of a block's
// segments is their sequence number, no command: within a block transfer
// only 0xA1 and the abort 0x80 count.
void BusWatch::on_frame(int net, const CMSG& m) {
  if ((m.len & NTCAN_RTR) || (m.len & NTCAN_DLC_MASK) != 8) return;
  const bool request = m.id > kSdoRequest && m.id < kSdoRequest + 128;
  const bool answer = m.id > kSdoResponse && m.id < kSdoResponse + 128;
  if (!request && !answer) return;
  const int node = m.id - (request ? kSdoRequest : kSdoResponse);
  const int command = m.data[0] >> 5;
  const uint64_t bits = ntcan_sim::frame_bits(m);
  std::lock_guard<std::mutex> lock(mx_);
  Transfer& t = transfers_[static_cast<std::size_t>(net)][static_cast<std::size_t>(node)];
  const bool block_start = (command == 5 && (m.data[0] & 0x03) == 0) || (command == 6 && (m.data[0] & 0x01) == 0);
  if (request && !(t.active && t.block) && (command == 1 || command == 2 || block_start)) {
    const uint32_t bit_ns = ntcan_sim::bit_time_ns(ntcan_sim::bus_stats(net).baud);
    t = Transfer{};
    t.active = true;
    t.upload = command == 2 || command == 5;
    t.block = block_start;
    t.last_request = command == 1 && (m.data[0] & 0x02);
    t.index = m.data[1] | m.data[2] << 8;
    t.start_us = ntcan_sim::bus_time_us() - static_cast<int64_t>(bits * bit_ns / 1000);
  }
  if (!t.active) return;
  ++t.frames;
  t.bits += bits;
  if (t.block) {
    if (m.data[0] == 0x80) report(net, node, t, request ? "aborted by the client" : "aborted by the node");
    else if (m.data[0] == 0xA1 && request == t.upload) report(net, node, t, nullptr);
    return;
  }
  if (request) {
    if (command == 0) t.last_request = m.data[0] & 0x01;  // a download segment, the last one?
    if (command == 4) report(net, node, t, "aborted by the client");
    return;
  }
  if (command == 4) {
    report(net, node, t, "aborted by the node");
  } else if (t.upload ? (command == 2 && (m.data[0] & 0x02)) || (command == 0 && (m.data[0] & 0x01))
                      : t.last_request && (command == 3 || command == 1)) {
    report(net, node, t, nullptr);
  }
}

void BusWatch::report(int net, int node, Transfer& t, const char* end) {
  const ntcan_sim::BusStats st = ntcan_sim::bus_stats(net);
  const double took_ms = static_cast<double>(ntcan_sim::bus_time_us() - t.start_us) / 1e3;
  const double bits_ms = static_cast<double>(t.bits) * ntcan_sim::bit_time_ns(st.baud) / 1e6;
  char buf[200];
  std::snprintf(buf, sizeof buf, "SDO %s%s of 0x%04X, node %d on line %d: %d frames in %.2f ms%s%s (their bits: %.2f ms at %g kbit/s)",
                t.block ? "block " : "", t.upload ? "upload" : "download", t.index, node, net + 1, t.frames, took_ms, end ? ", " : "",
                end ? end : "", bits_ms, kbit_s(st.baud));
  display_.event("bus", buf);
  t.active = false;
}

}  // namespace demo
