#!/usr/bin/env python3
"""Print the results table of bench/README.md from the JSON of one run:

    vorbel_bench --benchmark_out=run.json --benchmark_out_format=json
    python3 bench/table.py run.json
"""
import json
import sys


def fmt(v, digits=1):
    return f"{v:.{digits}f}"


def main(path):
    with open(path) as f:
        run = json.load(f)
    rows = {b["name"].split("/min_time")[0].split("/iterations")[0].replace("/manual_time", ""): b
            for b in run["benchmarks"] if b.get("run_type", "iteration") == "iteration"}

    print("| What | Library | Bare driver | Ratio | Library allocations | Other |")
    print("|---|---|---|---|---|---|")
    for name, b in rows.items():
        c = {k: v for k, v in b.items() if isinstance(v, (int, float))}
        if name.startswith("BM_ServerLoop/"):
            nodes, frames = (p.split(":")[1] for p in name.split("/")[1:3])
            print(f"| can_looping, {nodes} node{'' if nodes == '1' else 's'}, {frames} frames waiting per node, per node "
                  f"| {fmt(c['lib_ns'])} ns | {fmt(c['bare_ns'])} ns (canTake) | {fmt(c['ratio'], 2)} "
                  f"| {fmt(c['lib_allocs_per_pass'], 0)} per pass | canTake per node: {fmt(c['takes_per_node'], 2)} |")
        elif name.startswith("BM_ServerLoopParts/"):
            nodes, frames = (p.split(":")[1] for p in name.split("/")[1:3])
            print(f"| can_looping, {nodes} node{'' if nodes == '1' else 's'}, {frames} frames: where the time goes, per node "
                  f"| {fmt(c['lib_ns'])} ns | {fmt(c['bare_ns'])} ns; + per-node lock {fmt(c['locked_ns'])} ns; "
                  f"+ own buffers {fmt(c['own_buf_ns'])} ns | {fmt(c['lib_ns'] / c['bare_ns'], 2)} | | "
                  f"rest (calls, checks) {fmt(c['lib_ns'] - c['own_buf_ns'])} ns |")
        elif name == "BM_CanArray":
            print(f"| can_array of 10 frames | {fmt(b['real_time'])} ns | | | {fmt(c['allocs_per_call'], 0)} per call | |")
        elif name.startswith("BM_SupervisionCycle"):
            print(f"| healthy supervision cycle ({int(c['threads'])} lines) | (thread hand-over, not timed) | | "
                  f"| {fmt(c['allocs_per_cycle'], 0)} per cycle | canStatus per cycle: {fmt(c['status_calls_per_cycle'], 2)} |")
        elif name.startswith("BM_WriteThenPeerTake"):
            print(f"| can_write + peer's canTake, per frame | {fmt(c['lib_ns'])} ns | {fmt(c['bare_ns'])} ns "
                  f"(canSend + canTake) | {fmt(c['ratio'], 2)} | {fmt(c['lib_allocs'], 0)} per frame | |")
        elif name.startswith("BM_ReadWaiting"):
            get = name.endswith(":1")
            lib, bare = ("can_get", "canTake") if get else ("can_read", "canRead")
            print(f"| {lib} of a waiting frame, per frame | {fmt(c['lib_ns'])} ns | {fmt(c['bare_ns'])} ns ({bare}) "
                  f"| {fmt(c['ratio'], 2)} | {fmt(c['lib_allocs'], 0)} per frame | |")
        elif name.startswith("BM_SdoUploadOnBus") or name.startswith("BM_SdoDownloadOnBus"):
            size = name.split("bytes:")[1].split("/")[0]
            kind = "expedited" if size == "4" else "segmented"
            what = "upload" if "Upload" in name else "download"
            print(f"| SDO {what} on the bus, {size} bytes ({kind}), {fmt(c['kbit_s'], 0)} kbit/s | {fmt(c['wall_us'])} us "
                  f"| {fmt(c['bus_us'])} us (bits of its {int(c['frames'])} frames) | {fmt(c['wall_over_bus'], 3)} | "
                  f"| CPU {fmt(c['cpu_us'])} us per transfer, {fmt(100 * c['cpu_share'])} % of one core |")
        elif name.startswith("BM_SdoUpload") or name.startswith("BM_SdoDownload"):
            size = name.split(":")[1]
            kind = "expedited" if size == "4" else "segmented"
            what = "upload" if name.startswith("BM_SdoUpload") else "download"
            print(f"| SDO {what}, {size} bytes ({kind}), per {what} | {fmt(c['lib_ns'] / 1e3, 2)} us "
                  f"| {fmt(c['bare_ns'] / 1e3, 2)} us (same round trips) | {fmt(c['ratio'], 2)} "
                  f"| {fmt(c['lib_allocs'] - c['bare_allocs'], 0)} beyond the bare {what} "
                  f"| frames {int(c['frames'])}, driver calls {int(c['driver_calls'])} |")
        elif name.startswith("BM_SilentNodeWait"):
            timeout = name.split(":")[1].split("/")[0]
            print(f"| waiting on a silent node, time-out {timeout} ms: CPU per second of waiting "
                  f"| {fmt(c['cpu_ms_per_s'], 2)} ms | | | | wall {fmt(c['wall_s'], 3)} s per wait; "
                  f"per wait {fmt(c['reads'], 0)} driver reads, {fmt(c['takes'], 0)} takes |")
        elif name.startswith("BM_CanPollRoundTrip"):
            print(f"| can_poll round trip (answer waiting) | {fmt(c['lib_ns'] / 1e6, 3)} ms "
                  f"| {fmt(c['bare_ns'] / 1e6, 3)} ms (canSend, 5 ms nanosleep, canTake) | {fmt(c['ratio'], 3)} "
                  f"| {fmt(c['lib_allocs'] - c['bare_allocs'], 0)} beyond the bare round trip "
                  f"| over 5 ms: library {fmt(c['lib_over_5ms_us'], 0)} us, bare {fmt(c['bare_over_5ms_us'], 0)} us |")
        elif name.startswith("BM_HeartbeatLimit"):
            print(f"| highest heartbeat rate per node, 20 lines of 32 nodes, loop every 100 ms, {fmt(c['kbit_s'], 0)} kbit/s "
                  f"| {fmt(c['rate_hz'], 0)} Hz | bus limit {fmt(c['bus_limit_hz'])} Hz (32 heartbeats per period) "
                  f"| | | bus load {fmt(100 * c['load'])} %, at most {fmt(c['max_per_fill'], 0)} of 100 frames per fill, "
                  f"loop {fmt(c['loop_us'])} us per turn |")
        elif name.startswith("BM_ServerLoopBoundPdo/"):
            nodes, frames = (p.split(":")[1] for p in name.split("/")[1:3])
            print(f"| can_looping with a bound transmit PDO, {nodes} nodes, {frames} PDO frames per node, per node "
                  f"| {fmt(c['bound_ns'])} ns | {fmt(c['unbound_ns'])} ns (the same loop, no binding) "
                  f"| {fmt(c['ratio'], 2)} | {fmt(c['bound_allocs'], 0)} per pass | |")
        elif name.startswith("BM_PdoDecode"):
            print(f"| PDO decode of a fill (3 frames, one the PDO of 5 entries) | {fmt(c['lib_ns'], 2)} ns "
                  f"| {fmt(c['bare_ns'], 2)} ns (hand-written decode) | {fmt(c['ratio'], 2)} | {fmt(c['lib_allocs'], 0)} | |")
        elif name.startswith("BM_BlockTransferOnBus"):
            size = name.split("bytes:")[1].split("/")[0]
            what = "download" if "down:1" in name else "upload"
            print(f"| SDO block {what} on the bus, {int(size) // 1024} KiB, {fmt(c['kbit_s'], 0)} kbit/s "
                  f"| {fmt(c['wall_us'])} us | {fmt(c['bus_us'])} us (bits of its {int(c['frames'])} frames) "
                  f"| {fmt(c['wall_over_bus'], 3)} | "
                  f"| segmented: {fmt(c['segmented_wall_us'] / 1e3)} ms ({int(c['segmented_frames'])} frames), "
                  f"block {fmt(c['speedup'], 2)}x faster; CPU {fmt(c['cpu_us'] / 1e3, 2)} ms per transfer |")
        elif name.startswith("BM_FrameworkClockRead"):
            print(f"| one framework clock read (TELVOtime) | {fmt(b['real_time'])} ns | | | | |")


if __name__ == "__main__":
    main(sys.argv[1])
