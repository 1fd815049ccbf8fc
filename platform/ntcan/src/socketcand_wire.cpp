#include "socketcand_wire.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

namespace socketcand {

namespace {

constexpr std::size_t kMaxWords = 12;  // "send ID LEN" and eight bytes, and some

std::vector<std::string_view> split_words(std::string_view body) {
  std::vector<std::string_view> words;
  words.reserve(kMaxWords + 1);
  std::size_t i = 0;
  while (i < body.size() && words.size() <= kMaxWords) {
    while (i < body.size() && (body[i] == ' ' || body[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < body.size() && body[i] != ' ' && body[i] != '\t') ++i;
    if (i > start) words.push_back(body.substr(start, i - start));
  }
  return words;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A hex number of 1 to max_digits digits.
bool parse_hex(std::string_view w, std::size_t max_digits, uint32_t* out) {
  if (w.empty() || w.size() > max_digits) return false;
  uint32_t v = 0;
  for (char c : w) {
    const int d = hex_digit(c);
    if (d < 0) return false;
    v = v << 4 | static_cast<uint32_t>(d);
  }
  *out = v;
  return true;
}

// A CAN identifier: up to 3 digits and at most 0x7FF is a standard one,
// anything else up to 0x1FFFFFFF an extended one.
const char* parse_id(std::string_view w, WireFrame* f) {
  uint32_t id = 0;
  if (!parse_hex(w, 8, &id)) return "bad identifier";
  if (id > 0x1FFFFFFF) return "identifier above 0x1FFFFFFF";
  f->id = id;
  f->extended = w.size() > 3 || id > 0x7FF;
  return nullptr;
}

// SECONDS.MICROSECONDS, the fraction of 1 to 6 digits.
bool parse_time(std::string_view w, int64_t* out) {
  const std::size_t dot = w.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot > 12 || w.size() - dot - 1 < 1 || w.size() - dot - 1 > 6) {
    return false;
  }
  int64_t seconds = 0, micros = 0;
  for (std::size_t i = 0; i < dot; ++i) {
    if (w[i] < '0' || w[i] > '9') return false;
    seconds = seconds * 10 + (w[i] - '0');
  }
  std::size_t digits = 0;
  for (std::size_t i = dot + 1; i < w.size(); ++i, ++digits) {
    if (w[i] < '0' || w[i] > '9') return false;
    micros = micros * 10 + (w[i] - '0');
  }
  for (; digits < 6; ++digits) micros *= 10;
  *out = seconds * 1000000 + micros;
  return true;
}

Parsed fail(const char* why) {
  Parsed p;
  p.error = why;
  return p;
}

// send ID LEN B0 B1 ...
Parsed parse_send(const std::vector<std::string_view>& w) {
  Parsed p;
  p.message.kind = Message::Kind::Send;
  WireFrame& f = p.message.frame;
  if (w.size() < 3) return fail("send needs an identifier and a length");
  if (const char* why = parse_id(w[1], &f)) return fail(why);
  uint32_t len = 0;
  if (!parse_hex(w[2], 2, &len) || len > 8) return fail("bad length");
  const std::size_t bytes = w.size() - 3;
  if (bytes == 0 && len > 0) {
    f.remote = true;  // python-can's remote request
    f.len = static_cast<uint8_t>(len);
    return p;
  }
  if (bytes != len) return fail("length and data bytes differ");
  for (std::size_t k = 0; k < bytes; ++k) {
    uint32_t b = 0;
    if (!parse_hex(w[3 + k], 2, &b)) return fail("bad data byte");
    f.data[k] = static_cast<uint8_t>(b);
  }
  f.len = static_cast<uint8_t>(len);
  return p;
}

// frame ID SECONDS.MICROSECONDS [DATA]
Parsed parse_frame(const std::vector<std::string_view>& w) {
  Parsed p;
  p.message.kind = Message::Kind::Frame;
  WireFrame& f = p.message.frame;
  if (w.size() != 3 && w.size() != 4) return fail("frame needs an identifier, a time and data");
  if (const char* why = parse_id(w[1], &f)) return fail(why);
  if (!parse_time(w[2], &p.message.time_us)) return fail("bad time stamp");
  const std::string_view hex = w.size() == 4 ? w[3] : std::string_view();
  if (hex.size() % 2 != 0 || hex.size() > 16) return fail("bad data");
  for (std::size_t k = 0; k < hex.size() / 2; ++k) {
    uint32_t b = 0;
    if (!parse_hex(hex.substr(2 * k, 2), 2, &b)) return fail("bad data");
    f.data[k] = static_cast<uint8_t>(b);
  }
  f.len = static_cast<uint8_t>(hex.size() / 2);
  return p;
}

}  // namespace

Parsed parse_message(std::string_view body) {
  if (body.size() > kMaxBody) return fail("message too long");
  const std::vector<std::string_view> w = split_words(body);
  if (w.empty()) return fail("empty message");
  if (w.size() > kMaxWords) return fail("too many words");
  Parsed p;
  const std::string_view cmd = w[0];
  auto bare = [&](Message::Kind kind) {
    if (w.size() != 1) return fail("unexpected words");
    p.message.kind = kind;
    return p;
  };
  if (cmd == "hi") return bare(Message::Kind::Hi);
  if (cmd == "ok") return bare(Message::Kind::Ok);
  if (cmd == "echo") return bare(Message::Kind::Echo);
  if (cmd == "rawmode") return bare(Message::Kind::RawMode);
  if (cmd == "open") {
    if (w.size() != 2) return fail("open needs one bus name");
    p.message.kind = Message::Kind::Open;
    p.message.bus = std::string(w[1]);
    return p;
  }
  if (cmd == "send") return parse_send(w);
  if (cmd == "frame") return parse_frame(w);
  if (cmd == "error") {
    p.message.kind = Message::Kind::Error;
    return p;
  }
  return fail("unknown command");
}

std::string format_hi() { return "< hi >"; }
std::string format_ok() { return "< ok >"; }
std::string format_rawmode() { return "< rawmode >"; }

std::string format_error(std::string_view text) { return "< error " + std::string(text) + " >"; }

std::string format_open(std::string_view bus) { return "< open " + std::string(bus) + " >"; }

namespace {
// Appends the identifier: %03X for a standard, %08X for an extended one.
int put_id(char* out, std::size_t room, const WireFrame& f) {
  return f.extended ? std::snprintf(out, room, "%08" PRIX32, f.id) : std::snprintf(out, room, "%03" PRIX32, f.id);
}
}  // namespace

std::string format_frame(const WireFrame& f, int64_t time_us) {
  char out[96];
  int at = std::snprintf(out, sizeof out, "< frame ");
  at += put_id(out + at, sizeof out - static_cast<std::size_t>(at), f);
  at += std::snprintf(out + at, sizeof out - static_cast<std::size_t>(at), " %" PRId64 ".%06" PRId64 " ",
                      time_us / 1000000, time_us % 1000000);
  for (int k = 0; k < f.len && k < 8; ++k) {
    at += std::snprintf(out + at, sizeof out - static_cast<std::size_t>(at), "%02X", f.data[k]);
  }
  at += std::snprintf(out + at, sizeof out - static_cast<std::size_t>(at), " >");
  return std::string(out, static_cast<std::size_t>(at));
}

std::string format_send(const WireFrame& f) {
  char out[96];
  int at = std::snprintf(out, sizeof out, "< send ");
  at += put_id(out + at, sizeof out - static_cast<std::size_t>(at), f);
  at += std::snprintf(out + at, sizeof out - static_cast<std::size_t>(at), " %X ", static_cast<unsigned>(f.len));
  for (int k = 0; k < f.len && k < 8; ++k) {
    at += std::snprintf(out + at, sizeof out - static_cast<std::size_t>(at), k ? " %x" : "%x", f.data[k]);
  }
  at += std::snprintf(out + at, sizeof out - static_cast<std::size_t>(at), " >");
  return std::string(out, static_cast<std::size_t>(at));
}

}  // namespace socketcand
