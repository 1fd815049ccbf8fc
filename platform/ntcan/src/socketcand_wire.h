// The socketcand wire protocol in raw mode, as both ends of this project
// speak it: the simulated driver's server and the socketcand NTCAN driver.
//
// Messages are ASCII words between '<' and '>', e.g. "< send 605 8 40 8 10 0 0 0 0 0 >"
// or "< frame 585 1796581248.121885 4308100000000000 >". Nothing here does
// any I/O: MessageSplitter cuts a byte stream into message bodies (or
// errors), parse_message turns one body into a message (or an error), and the
// format_* functions write the messages this project sends.
#ifndef NTCAN_SOCKETCAND_WIRE_H
#define NTCAN_SOCKETCAND_WIRE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace socketcand {

// Longest message body either end accepts. The longest well-formed one,
// an extended send with eight bytes written with padding, is about 50
// characters.
constexpr std::size_t kMaxBody = 120;

// One CAN frame as the protocol carries it.
struct WireFrame {
  uint32_t id = 0;
  bool extended = false;  // 29-bit identifier (more than 3 digits, or above 0x7FF)
  // A send whose length names bytes it does not carry: python-can's way of
  // writing a remote request ("< send 705 1  >"). The protocol has no remote
  // frames; such a request is reported, never turned into a data frame.
  bool remote = false;
  uint8_t len = 0;  // data bytes, 0..8
  uint8_t data[8] = {};
};

struct Message {
  enum class Kind { Hi, Ok, Echo, Open, RawMode, Send, Frame, Error };
  Kind kind = Kind::Hi;
  std::string bus;      // Open: the bus name, e.g. "can0"
  WireFrame frame;      // Send and Frame
  int64_t time_us = 0;  // Frame: the time stamp in microseconds
};

// A parsed message, or why the body is not one (error non-empty).
struct Parsed {
  Message message;
  std::string error;
  bool ok() const { return error.empty(); }
};

// Parses one message body: the text between '<' and '>', without them.
Parsed parse_message(std::string_view body);

// Cuts a byte stream into message bodies. Blanks and line ends between
// messages are skipped; anything else outside '<' '>', a '<' inside a
// message and a body longer than kMaxBody are reported as errors (the rest
// of an over-long message is skipped up to its '>').
class MessageSplitter {
 public:
  // Feeds bytes; calls on_body(std::string_view) for each complete body
  // and on_error(const char*) for each piece of garbage, in stream order.
  template <class OnBody, class OnError>
  void feed(const char* data, std::size_t size, OnBody&& on_body, OnError&& on_error) {
    for (std::size_t i = 0; i < size; ++i) {
      const char c = data[i];
      switch (state_) {
        case State::Between:
          if (c == '<') {
            state_ = State::Inside;
            body_.clear();
          } else if (!is_blank(c)) {
            state_ = State::Garbage;
            on_error("text outside a message");
          }
          break;
        case State::Garbage:
          if (c == '<') {
            state_ = State::Inside;
            body_.clear();
          }
          break;
        case State::Inside:
          if (c == '>') {
            state_ = State::Between;
            on_body(std::string_view(body_));
          } else if (c == '<') {
            body_.clear();  // a new message starts; the unfinished one is garbage
            on_error("message not closed by >");
          } else if (body_.size() == kMaxBody) {
            state_ = State::Skipping;
            on_error("message too long");
          } else {
            body_.push_back(c);
          }
          break;
        case State::Skipping:
          if (c == '>') state_ = State::Between;
          break;
      }
    }
  }
 private:
  static bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
  enum class State { Between, Inside, Skipping, Garbage };
  State state_ = State::Between;
  std::string body_;
};

// "< hi >", "< ok >": exactly as python-can compares them.
std::string format_hi();
std::string format_ok();
// "< error TEXT >"
std::string format_error(std::string_view text);
// "< open BUS >", "< rawmode >"
std::string format_open(std::string_view bus);
std::string format_rawmode();
// A frame to a client: "< frame 605 1796581248.121885 4008100000000000 >",
// the identifier as %03X (standard) or %08X (extended), data as contiguous
// hex pairs; without data "< frame 080 1796581248.161754  >" (two blanks).
std::string format_frame(const WireFrame& f, int64_t time_us);
// A frame to a server, as python-can writes it: "< send 605 8 40 8 10 0 0 0 0 0 >",
// "< send 080 0  >" without data.
std::string format_send(const WireFrame& f);

}  // namespace socketcand

#endif  // NTCAN_SOCKETCAND_WIRE_H
