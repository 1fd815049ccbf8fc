#!/usr/bin/env python3
"""Watches a bus served over socketcand with python-can's own socketcand
client and writes down every frame it saw.
usage: watch_net.py PORT BUS OUTFILE
Prints "watching" once connected and watches until its standard input ends;
then writes one line per frame, "ID SECONDS.MICROS DATA" (hex, data as
contiguous pairs), to OUTFILE. Exits 77 when python-can cannot be imported.
"""
import sys
import threading

try:
    import can
except ImportError:
    print("python-can (apt-get install python3-can) cannot be imported", flush=True)
    sys.exit(77)


def main():
    port, channel, out = sys.argv[1:4]
    bus = can.Bus(interface="socketcand", host="127.0.0.1", port=int(port), channel=channel)
    print("watching", flush=True)
    stop = threading.Event()
    threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
    frames = []
    while True:
        msg = bus.recv(0.05)
        if msg is not None and not msg.is_error_frame:
            frames.append(msg)
        elif msg is None and stop.is_set():
            break
    bus.shutdown()
    with open(out, "w") as f:
        for m in frames:
            # python-can 4.1 marks every frame it receives as extended: the identifier alone counts.
            f.write(f"{m.arbitration_id:X} {m.timestamp:.6f} {bytes(m.data).hex().upper()}\n")
    print(f"{len(frames)} frames seen by python-can {can.__version__}", flush=True)


if __name__ == "__main__":
    main()
