#!/usr/bin/env python3
"""The bus trace of a demo run, read back with python-can's candump log
reader, holds exactly the frames of the simulated driver's own trace.

usage: trace_reads_back.py DEMO_PROGRAM SAMPLE_CONFIG WORK_DIR

Exits 77 (skipped) when python-can is not installed, unless
VORBEL_REQUIRE_PYTHON_CAN=1 asks for it.
"""
import os
import subprocess
import sys

SKIPPED = 77

try:
    import can
    from can.io.canutils import CanutilsLogReader
except ImportError:
    if os.environ.get("VORBEL_REQUIRE_PYTHON_CAN") == "1":
        print("python-can is required (apt-get install python3-can) but cannot be imported")
        sys.exit(1)
    print("python-can is not installed (apt-get install python3-can): skipped")
    sys.exit(SKIPPED)


def driver_trace(path):
    """The --trace-check file: 'seq time_us net id len-byte data...' lines."""
    frames = []
    with open(path) as f:
        header = f.readline()
        assert header.rstrip().endswith("frames dropped from the trace: 0"), header
        for line in f:
            seq, time_us, net, ident, length, *data = line.split()
            frames.append((int(seq), int(time_us), int(net), int(ident, 16), int(length),
                           bytes(int(b, 16) for b in data)))
    return frames


def main():
    demo, sample, work = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    trace = os.path.join(work, "demo-trace.log")
    check = os.path.join(work, "demo-trace-check.txt")
    run = subprocess.run([demo, "--seconds", "2", "--time-scale", "4", "--config", sample,
                          "--save", os.path.join(work, "saved.conf"),
                          "--trace", trace, "--trace-check", check],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
    if run.returncode != 0:
        print(run.stdout)
        print(f"demo exited {run.returncode}")
        return 1

    expected = driver_trace(check)
    read = list(CanutilsLogReader(trace))
    problems = []
    if len(read) != len(expected):
        problems.append(f"{len(read)} frames read back, {len(expected)} in the driver's trace")
    for i, (msg, (seq, time_us, net, ident, length, data)) in enumerate(zip(read, expected)):
        rtr = bool(length & 0x10)
        want = dict(channel=f"can{net}", arbitration_id=ident, is_extended_id=False,
                    is_remote_frame=rtr, dlc=length & 0x0F, data=b"" if rtr else data)
        got = dict(channel=msg.channel, arbitration_id=msg.arbitration_id,
                   is_extended_id=msg.is_extended_id, is_remote_frame=msg.is_remote_frame,
                   dlc=msg.dlc, data=bytes(msg.data or b""))
        if got != want or abs(msg.timestamp - time_us / 1e6) > 2e-6:
            problems.append(f"frame {i} (seq {seq}): read {got} at {msg.timestamp:.6f}, "
                            f"expected {want} at {time_us / 1e6:.6f}")
        if len(problems) > 10:
            break

    # The run's frames cover both nets, data frames and remote requests.
    channels = {m.channel for m in read}
    if channels != {"can0", "can1"}:
        problems.append(f"frames on {sorted(channels)}, expected can0 and can1")
    if not any(m.is_remote_frame for m in read):
        problems.append("no remote request (node guarding) in the trace")
    if len(read) < 50:
        problems.append(f"only {len(read)} frames")

    if problems:
        print("\n".join(problems))
        return 1
    print(f"{len(read)} frames on {len(channels)} nets read back by python-can {can.__version__}: "
          "identical to the driver's trace")
    return 0


if __name__ == "__main__":
    sys.exit(main())
