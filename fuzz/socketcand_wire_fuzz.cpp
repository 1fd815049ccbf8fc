// The socketcand wire protocol as the server reads it: a byte stream cut
// into messages, each parsed into a command or an error.
//
// Input: one byte that picks where the stream is cut into reads, then the
// stream itself.
//
// Properties: the messages and errors found do not depend on how the stream
// arrives in reads; no body is longer than the bound; a parsed frame has at
// most 8 bytes and a valid identifier; formatting a parsed frame and parsing
// it again gives the same frame (and time stamp); no read outside the input
// (AddressSanitizer).
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "socketcand_wire.h"

namespace {

using socketcand::Message;

// The events of a stream: "B<body>" or "E<why>", in order.
std::vector<std::string> split(const std::string& stream, std::size_t chunk) {
  std::vector<std::string> events;
  socketcand::MessageSplitter splitter;
  for (std::size_t at = 0; at < stream.size(); at += chunk) {
    const std::size_t n = std::min(chunk, stream.size() - at);
    splitter.feed(
        stream.data() + at, n, [&](std::string_view b) { events.push_back("B" + std::string(b)); },
        [&](const char* why) { events.push_back(std::string("E") + why); });
  }
  return events;
}

bool same_frame(const socketcand::WireFrame& a, const socketcand::WireFrame& b) {
  return a.id == b.id && a.extended == b.extended && a.remote == b.remote && a.len == b.len &&
         std::memcmp(a.data, b.data, a.len) == 0;
}

void check_message(std::string_view body) {
  const socketcand::Parsed p = socketcand::parse_message(body);
  if (!p.ok()) return;
  const Message& m = p.message;
  if (m.kind != Message::Kind::Send && m.kind != Message::Kind::Frame) return;
  const socketcand::WireFrame& f = m.frame;
  FUZZ_CHECK(f.len <= 8, "length %u", f.len);
  FUZZ_CHECK(f.id <= 0x1FFFFFFF && (f.extended || f.id <= 0x7FF), "identifier %X", f.id);
  if (m.kind == Message::Kind::Send && f.remote) return;  // written back it would carry no remote mark
  const std::string again = m.kind == Message::Kind::Send ? socketcand::format_send(f) : socketcand::format_frame(f, m.time_us);
  FUZZ_CHECK(again.size() > 4 && again.front() == '<' && again.back() == '>', "formatted as '%s'", again.c_str());
  const socketcand::Parsed q = socketcand::parse_message(std::string_view(again).substr(1, again.size() - 2));
  FUZZ_CHECK(q.ok(), "'%s' does not parse: %s", again.c_str(), q.error.c_str());
  FUZZ_CHECK(same_frame(f, q.message.frame), "'%s' parses to another frame", again.c_str());
  FUZZ_CHECK(m.kind == Message::Kind::Send || q.message.time_us == m.time_us, "'%s' has another time stamp",
             again.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::Input in(data, size);
  const std::size_t chunk = 1 + in.byte() % 17;
  const std::string stream = in.rest();

  const std::vector<std::string> whole = split(stream, stream.size() + 1);
  FUZZ_CHECK(split(stream, chunk) == whole, "reads of %zu bytes see other messages", chunk);
  for (const std::string& e : whole) {
    FUZZ_CHECK(e.size() <= socketcand::kMaxBody + 1, "a body of %zu bytes", e.size() - 1);
    if (e[0] == 'B') check_message(std::string_view(e).substr(1));
  }
  return 0;
}
