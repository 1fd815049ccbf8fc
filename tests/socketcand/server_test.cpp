// The simulated driver's socketcand server with clients on loopback sockets:
// what clients see of a net and put on it, and clients that misbehave.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "ntcan.h"
#include "ntcan_sim.h"
#include "test_support.h"
#include "wire_client.h"

namespace {

using ntcan_sim::make_frame;
using testsupport::ms_until;
using testsupport::WireClient;

struct ServerTest : testing::Test {
  ServerTest() {
    ntcan_sim::reset();
    port = ntcan_sim::serve_socketcand("127.0.0.1:0");
  }
  std::unique_ptr<WireClient> client(int net) {
    auto c = std::make_unique<WireClient>(port);
    EXPECT_TRUE(c->open_raw(net));
    return c;
  }
  uint16_t port = 0;
};

TEST_F(ServerTest, EveryClientOfANetSeesItsFramesAndPutsFramesOnItAsADeviceDoes) {
  constexpr int kClients = 20;
  std::vector<std::unique_ptr<WireClient>> net0;
  for (int i = 0; i < kClients; ++i) net0.push_back(client(0));
  const auto net1 = client(1);
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  ASSERT_EQ(canOpen(0, 0, 10, 100, 1000, 1000, &h), NTCAN_SUCCESS);
  ASSERT_EQ(canIdAdd(h, 0x123), NTCAN_SUCCESS);

  // A handle's frame, with the trace's time stamp, to every client of net 0.
  CMSG m = make_frame(0x80, {});
  int32_t one = 1;
  ASSERT_EQ(canSend(h, &m, &one), NTCAN_SUCCESS);
  ntcan_sim::inject(0, make_frame(0x605, {0x40, 0x08, 0x10, 0, 0, 0, 0, 0xAB}), "device");
  const auto traced = ntcan_sim::trace(0);
  ASSERT_EQ(traced.size(), 2u);
  char first[64], second[80];
  std::snprintf(first, sizeof first, "< frame 080 %lld.%06lld  >", static_cast<long long>(traced[0].time_us / 1000000),
                static_cast<long long>(traced[0].time_us % 1000000));
  std::snprintf(second, sizeof second, "< frame 605 %lld.%06lld 40081000000000AB >",
                static_cast<long long>(traced[1].time_us / 1000000), static_cast<long long>(traced[1].time_us % 1000000));
  for (const auto& c : net0) {
    EXPECT_EQ(c->next(), first);
    EXPECT_EQ(c->next(), second);
  }

  // A client's frame reaches the handle through its filter, the trace and
  // the other clients, but not the client itself nor another net.
  ASSERT_TRUE(net0[0]->send("< send 123 2 1 ff >< send 124 0  >"));
  CMSG got[4];
  int32_t n = 4;
  ASSERT_EQ(canRead(h, got, &n, nullptr), NTCAN_SUCCESS);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(got[0].len, 2);
  EXPECT_EQ(got[0].data[1], 0xFF);
  for (int i = 1; i < kClients; ++i) {
    EXPECT_TRUE(std::regex_match(net0[i]->next(), std::regex(R"(< frame 123 \d+\.\d{6} 01FF >)")));
    EXPECT_TRUE(std::regex_match(net0[i]->next(), std::regex(R"(< frame 124 \d+\.\d{6}  >)")));
  }
  EXPECT_EQ(ntcan_sim::trace(0).at(2).frame.participant, "socketcand client 1");

  // What raw mode cannot carry is refused or not passed on, and counted.
  ntcan_sim::inject(0, ntcan_sim::make_rtr(0x705));
  ASSERT_TRUE(net0[1]->send("< send 705 1  >< send 00000123 1 5 >"));
  EXPECT_EQ(net0[1]->next(), "< error remote frames cannot be carried >");
  EXPECT_EQ(net0[1]->next(), "< error extended frames cannot be carried >");
  EXPECT_TRUE(net0[0]->drain().empty()) << "nothing of it reached the net";
  EXPECT_TRUE(net1->drain().empty());
  const auto st = ntcan_sim::socketcand_stats();
  EXPECT_EQ(st.clients, kClients + 1u);
  EXPECT_EQ(st.frames_in, 2u);
  EXPECT_EQ(st.remote_not_sent, static_cast<uint64_t>(kClients));
  EXPECT_EQ(st.refused, 2u);
  EXPECT_EQ(st.errors, 0u);
}

TEST_F(ServerTest, GarbageIsAnsweredAndTheThirdErrorInARowClosesOnlyThatConnection) {
  const auto watcher = client(0);
  WireClient bad(port);
  ASSERT_EQ(bad.next(), "< hi >");
  ASSERT_TRUE(bad.send("< rawmode >"));
  EXPECT_EQ(bad.next(), "< error open a bus first >");
  ASSERT_TRUE(bad.send("< open can20 >< open can0 >< rawmode >"));
  EXPECT_EQ(bad.next(), "< error no such bus >");
  EXPECT_EQ(bad.next(), "< ok >");
  EXPECT_EQ(bad.next(), "< ok >");
  // Each error answered; a good message in between starts the count again.
  ASSERT_TRUE(bad.send("< send 12G 1 0 >< send 123 1 1ff >< send 1 0 >"));
  EXPECT_EQ(bad.next(), "< error bad identifier >");
  EXPECT_EQ(bad.next(), "< error bad data byte >");
  ASSERT_TRUE(bad.send("< " + std::string(500, 'x') + " >hello\n< dance >"));
  EXPECT_EQ(bad.next(), "< error message too long >");
  EXPECT_EQ(bad.next(), "< error text outside a message >");
  EXPECT_EQ(bad.next(), "< error unknown command >");
  EXPECT_EQ(bad.next(), "EOF");

  // A client that goes away in the middle of a frame puts nothing on the net.
  WireClient cut(port);
  ASSERT_TRUE(cut.open_raw(0));
  ASSERT_TRUE(cut.send("< send 123 2 0"));
  cut.close();

  const auto frames = watcher->drain(200);
  ASSERT_EQ(frames.size(), 1u) << "only the good frame of the closed client";
  EXPECT_TRUE(std::regex_match(frames[0], std::regex(R"(< frame 001 \d+\.\d{6}  >)")));
  const auto st = ntcan_sim::socketcand_stats();
  EXPECT_EQ(st.errors, 7u);
  EXPECT_EQ(st.closed_for_errors, 1u);
  EXPECT_EQ(st.clients, 1u);
  EXPECT_TRUE(watcher->send("< echo >"));
  EXPECT_EQ(watcher->next(), "< echo >") << "the server still serves";
}

TEST_F(ServerTest, AStalledClientLosesFramesBeyondItsQueueButNeverHoldsUpTheNet) {
  ntcan_sim::SocketcandLimits patient;
  patient.stalled_client = std::chrono::minutes(1);  // it is read again at the end
  port = ntcan_sim::serve_socketcand("127.0.0.1:0", patient);
  auto stalled = std::make_unique<WireClient>(port, 4096);
  ASSERT_TRUE(stalled->open_raw(2));
  const auto reader = client(2);
  constexpr int kChunks = 40, kPerChunk = 500, kFrames = kChunks * kPerChunk;
  int read = 0, out_of_order = 0;
  for (int c = 0; c < kChunks; ++c) {
    for (int i = 0; i < kPerChunk; ++i) {
      const int k = c * kPerChunk + i;
      ntcan_sim::inject(2, make_frame(0x100, {static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k)}));
    }
    for (; read < (c + 1) * kPerChunk; ++read) {
      const std::string m = reader->next();
      char want[8];
      std::snprintf(want, sizeof want, "%04X >", read & 0xFFFF);
      ASSERT_FALSE(m.empty()) << "frame " << read << " never reached the reading client";
      if (m.size() < 6 || m.compare(m.size() - 6, 6, want) != 0) ++out_of_order;
    }
  }
  EXPECT_EQ(read, kFrames);
  EXPECT_EQ(out_of_order, 0);
  const uint64_t lost = ntcan_sim::socketcand_stats().frames_lost;
  EXPECT_GT(lost, 0u) << "the stalled client's queue is bounded";
  // Once it reads again it gets what was queued, in order: nothing is lost
  // without being counted.
  uint64_t late = 0;
  for (std::string s; late + lost < kFrames && !(s = stalled->next()).empty() && s != "EOF";) ++late;
  EXPECT_EQ(late + lost, static_cast<uint64_t>(kFrames));
  EXPECT_EQ(stalled->next(100), "");
}

constexpr int kLimitMs = 300;  // the short limits these tests serve with
constexpr int kSlackMs = 250;  // granted to a loaded machine beyond them

uint16_t serve_with_short_limits() {
  ntcan_sim::SocketcandLimits l;
  l.handshake = l.stalled_client = std::chrono::milliseconds(kLimitMs);
  return ntcan_sim::serve_socketcand("127.0.0.1:0", l);
}

TEST_F(ServerTest, IdleConnectionsHoldingEverySlotAreClosedAndANewClientIsServedWithinTheHandshakeTimeOut) {
  port = serve_with_short_limits();
  const auto served = client(0);
  std::vector<std::unique_ptr<WireClient>> idle;
  for (int i = 0; i < 255; ++i) idle.push_back(std::make_unique<WireClient>(port));
  ASSERT_LT(ms_until([] { return ntcan_sim::socketcand_stats().connections == 256; }), 5000);
  WireClient late(port);
  EXPECT_LE(ms_until([&] { return late.next(0) == "< hi >"; }), kLimitMs + kSlackMs);
  EXPECT_TRUE(late.send("< open can0 >< rawmode >") && late.next() == "< ok >" && late.next() == "< ok >");
  for (const auto& c : idle) {
    std::string seen = c->next();
    seen += c->next();
    ASSERT_EQ(seen + c->next(), "< hi >< error no handshake in time >EOF");
  }
  EXPECT_EQ(ntcan_sim::socketcand_stats().closed_idle, 255u);
  EXPECT_EQ(ntcan_sim::socketcand_stats().clients, 2u) << "clients in raw mode stay";
}

TEST_F(ServerTest, AClientWhoseQueueStaysFullIsDisconnectedWithItsLossesCountedAndItsSlotFreed) {
  port = serve_with_short_limits();
  WireClient stalled(port, 4096);
  ASSERT_TRUE(stalled.open_raw(3));
  auto first_loss = std::chrono::steady_clock::time_point::max();
  ms_until([&] {  // frames keep coming on its net; it reads none of them
    for (int i = 0; i < 50; ++i) ntcan_sim::inject(3, make_frame(0x100, {}));
    const auto st = ntcan_sim::socketcand_stats();
    if (st.frames_lost > 0) first_loss = std::min(first_loss, std::chrono::steady_clock::now());
    return st.closed_stalled == 1;
  });
  const auto full_for = std::chrono::steady_clock::now() - first_loss;
  EXPECT_GE(full_for, std::chrono::milliseconds(kLimitMs - 20));
  EXPECT_LE(full_for, std::chrono::milliseconds(kLimitMs + kSlackMs));
  const auto st = ntcan_sim::socketcand_stats();
  EXPECT_EQ(st.closed_stalled, 1u);
  EXPECT_EQ(st.clients, 0u);
  std::string m;
  while (!(m = stalled.next()).empty() && m != "EOF") {
  }
  EXPECT_EQ(m, "EOF") << "what was under way, then the end";
  client(3);  // the slot is free
}

TEST_F(ServerTest, ResetClosesEveryConnectionAndStopsServing) {
  const auto a = client(0);
  const auto b = client(5);
  WireClient greeted(port);
  ASSERT_EQ(greeted.next(), "< hi >");
  ntcan_sim::reset();
  EXPECT_EQ(a->next(), "EOF");
  EXPECT_EQ(b->next(), "EOF");
  EXPECT_EQ(greeted.next(), "EOF");
  EXPECT_FALSE(WireClient(port).connected());
  EXPECT_EQ(ntcan_sim::socketcand_stats().port, 0u);
  ntcan_sim::inject(0, make_frame(0x1, {}));  // the net goes on without the server

  EXPECT_THROW(ntcan_sim::serve_socketcand("localhost:1"), std::invalid_argument);
  EXPECT_THROW(ntcan_sim::serve_socketcand("127.0.0.1:70000"), std::invalid_argument);
  EXPECT_THROW(ntcan_sim::serve_socketcand("127.0.0.1:0", {std::chrono::milliseconds(0)}), std::invalid_argument);
  // Serving again, even on the same port, replaces the running server.
  port = ntcan_sim::serve_socketcand("127.0.0.1:0");
  EXPECT_EQ(ntcan_sim::serve_socketcand("127.0.0.1:" + std::to_string(port)), port);
  client(0);
}

}  // namespace
