// ntcan_socketcand.h - the NTCAN driver over socketcand.
//
// This libntcan implements ntcan.h on socketcand connections: each net is a
// CAN bus served by a socketcand daemon (or by the simulated driver's
// server) on some host, reached over TCP in raw mode. libVORBEL runs on it
// unchanged, against a real CAN bus on another machine.
//
// Configuration: which host, port and bus each net is. Entries
//     NET=HOST:PORT[:BUS]        e.g. 0=192.0.2.7:29536:can0
// (NET 0..255, HOST an IPv4 address or a host name, BUS the bus name the
// daemon serves, "canNET" when left out) and the setting
//     echo_timeout_ms=MS         the echo time-out T below, 10..600000 ms (default 3000)
// separated by blanks, commas, semicolons or line ends; '#' starts a comment
// up to the end of its line.
// They are read at every canOpen that has to connect, from
//   1. the environment variable NTCAN_SOCKETCAND (entries), then
//   2. the file named by NTCAN_SOCKETCAND_CONFIG, else /etc/ntcan-socketcand.conf;
// an entry of the variable wins over one of the file for the same net (and
// its echo_timeout_ms over the file's). A bad entry is reported once on
// standard error and ignored.
//
// What a handle does (as the simulated driver's handles):
//   - canOpen connects the net when it has no live connection (all handles of
//     a net share one): at most 2 s for the connection, then at most T for
//     the daemon's greeting and its answers to "< open BUS >" and
//     "< rawmode >" together, so a daemon that stalls in the middle of them
//     holds canOpen no longer than 2 s + T. Failures: NTCAN_NET_NOT_FOUND
//     (net not configured, or the daemon has no such bus),
//     NTCAN_SOCK_HOST_NOT_FOUND (the host name does not resolve),
//     NTCAN_SOCK_CONN_TIMEOUT (no connection), NTCAN_SOCK_CMD_TIMEOUT (the
//     daemon did not answer as socketcand does, in time, or closed the
//     connection in the middle).
//   - Filters, a receive queue of the size given to canOpen per handle (full:
//     the newest frame is dropped and reported in msg_lost), canTake,
//     canRead waiting up to the receive time-out (in real time).
//   - canSend writes the frames to the daemon and hands them to the other
//     handles of the net in this process, as a CAN controller's echo would.
//     It returns within its transmit time-out, the wait for another
//     thread's write on the connection included: NTCAN_TX_TIMEOUT when the
//     daemon took nothing in that time. A batch that went only in part
//     gives the connection up: a message cut in two would garble the stream.
//   - A live connection: a thread per connection reads it and sends the
//     daemon "< echo >" on connecting and every T/2 after that. The
//     connection is dead when no "< echo >" came back for T (since the last
//     one, or since the handshake), whatever frames still arrive: a daemon
//     that stops answering, stops reading or stalls in the middle of a
//     message is found dead at most T after it stopped. With the default T
//     of 3 s: echo requests every 1.5 s, dead within 3 s.
//   - A dead or lost connection (the daemon closed it, the network failed,
//     no echo answer for T) makes every call on every handle of the net
//     but canClose return NTCAN_SOCK_CONN_TIMEOUT (a waiting canRead at
//     once); the handles stay open. The next canOpen on the net connects
//     again, and every handle of the net is served by the new connection.
//     libVORBEL's line supervision does exactly that: two failed status
//     queries close the line, its reopen reconnects.
//   - canSetBaudrate is accepted and changes nothing: the daemon's interface
//     has its own bit rate.
//
// What raw mode cannot carry:
//   - Remote frames. canSend of a batch holding a remote request
//     (NTCAN_RTR) sends nothing and returns NTCAN_INVALID_PARAMETER; node
//     guarding therefore cannot cross this link. Counted in remote_refused.
//   - Extended (29-bit) frames: ntcan.h here has 11-bit identifiers only;
//     extended frames from the daemon are dropped and counted.
#ifndef NTCAN_SOCKETCAND_H
#define NTCAN_SOCKETCAND_H

#include <cstdint>

#include "ntcan.h"

namespace ntcan_socketcand {

struct Counters {
  uint64_t connects = 0;           // connections made
  uint64_t connections_lost = 0;   // connections that failed while in use (dead ones included)
  uint64_t echo_timeouts = 0;      // connections found dead: no echo answer for T
  uint64_t frames_sent = 0;        // frames written to daemons
  uint64_t frames_received = 0;    // frames read from daemons
  uint64_t remote_refused = 0;     // remote requests canSend refused
  uint64_t extended_dropped = 0;   // extended frames from daemons, dropped
  uint64_t daemon_errors = 0;      // "< error ... >" answers and messages not understood
};

NTCAN_EXPORT Counters counters();

}  // namespace ntcan_socketcand

#endif  // NTCAN_SOCKETCAND_H
