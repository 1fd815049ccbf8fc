#!/usr/bin/env python3
"""The bus trace of a demo run, read back with python-can's candump log
reader, holds exactly the frames of the simulated driver's own trace.
usage: trace_reads_back.py DEMO_PROGRAM SAMPLE_CONFIG WORK_DIR
Exits 77 (skipped) without python-can, unless VORBEL_REQUIRE_PYTHON_CAN=1.
"""
import os
import subprocess
import sys

try:
    import can
    from can.io.canutils import CanutilsLogReader
except ImportError:
    required = os.environ.get("VORBEL_REQUIRE_PYTHON_CAN") == "1"
    print("python-can (apt-get install python3-can) cannot be imported: " + ("failed" if required else "skipped"))
    sys.exit(1 if required else 77)


def main():
    demo, sample, work = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    trace, check = os.path.join(work, "demo-trace.log"), os.path.join(work, "demo-trace-check.txt")
    run = subprocess.run([demo, "--seconds", "2", "--time-scale", "4", "--config", sample,
                          "--save", os.path.join(work, "saved.conf"), "--trace", trace, "--trace-check", check],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
    if run.returncode != 0:
        print(f"{run.stdout}\ndemo exited {run.returncode}")
        return 1

    # The --trace-check file: a header, then 'seq time_us net id len-byte data...'.
    with open(check) as f:
        header, *rows = f.read().splitlines()
    problems = [] if header.endswith("frames dropped from the trace: 0") else [header]
    read = list(CanutilsLogReader(trace))
    if len(read) != len(rows):
        problems.append(f"{len(read)} frames read back, {len(rows)} in the driver's trace")
    for msg, row in zip(read, rows):
        seq, time_us, net, ident, length, *data = row.split()
        rtr = bool(int(length) & 0x10)
        want = (f"can{net}", int(ident, 16), False, rtr, int(length) & 0x0F,
                b"" if rtr else bytes(int(b, 16) for b in data))
        got = (msg.channel, msg.arbitration_id, msg.is_extended_id, msg.is_remote_frame, msg.dlc,
               bytes(msg.data or b""))
        if got != want or abs(msg.timestamp - int(time_us) / 1e6) > 2e-6:
            problems.append(f"seq {seq}: read {got} at {msg.timestamp:.6f}, expected {want} at {int(time_us) / 1e6:.6f}")

    # The run's frames cover both nets, data frames and remote requests.
    channels = {m.channel for m in read}
    if channels != {"can0", "can1"} or not any(m.is_remote_frame for m in read) or len(read) < 50:
        problems.append(f"{len(read)} frames on {sorted(channels)}: expected 50 or more on can0 and can1, "
                        "node guarding's remote requests among them")
    print("\n".join(problems[:10]) if problems else
          f"{len(read)} frames read back by python-can {can.__version__}: identical to the driver's trace")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
