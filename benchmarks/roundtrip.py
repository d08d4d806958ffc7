#!/usr/bin/env python3
"""Round-trip benchmark: NativeSerialPort vs pyserial under the SerialManager.

For each port kind this measures

  1. round-trip latency from one thread (p50 / p99 over N calls),
  2. calls per second from one thread (same run) and from four threads, each
     driving its own instrument (addresses 1-4 on one chain), for a fixed time,
  3. the CPU time an idle manager costs the process,
  4. how long after the far end goes away (unplugged) four blocked waits end
     with the connection error.

The kinds "native" and "pyserial" time identify() on a fresh pseudo-terminal
pair whose far end is answered by a separate responder process; "socket" does
the same through pyserial's socket:// port to a responder on a local TCP port.
The kinds
"sim-inprocess", "sim-pty-native" and "sim-pty-pyserial" drive rotary valves on
the bench emulator at time scale 0 (in-process port, or its pseudo-terminal
served by a thread of this process) and time both identify() and
select_port(n, wait=True).

A last section times identify() and read_channel() on an emulated mass flow
controller (in-process port and pseudo-terminal with the native port).

Run:  python3 benchmarks/roundtrip.py [--calls N] [--pyserial-calls N]
                                      [--seconds S] [--idle-seconds S]
                                      [--kinds K,...] [--flow-calls N]
                                      [--json PATH]
"""

import argparse
import gc
import json
import math
import os
import platform
import pty
import resource
import subprocess
import sys
import threading
import time
import tty

WARMUP_CALLS = 20
IDLE_SETTLE = 0.2
THREADS = 4

RESPONDER_KINDS = ("native", "pyserial", "socket")
SIM_KINDS = ("sim-inprocess", "sim-pty-native", "sim-pty-pyserial")
ALL_KINDS = RESPONDER_KINDS + SIM_KINDS
VALVE_TYPE_CODE = 2     # the emulated chain: rotary valves of this type code


def operations_of(kind):
    """The driver calls timed for a port kind."""
    return ("identify",) if kind in RESPONDER_KINDS else ("identify", "select_port")


def uses_pyserial(kind):
    return kind.endswith("pyserial") or kind == "socket"


# --------------------------------------------------------------------------
# Far end: runs in its own process (`roundtrip.py --responder FD`), so the
# measured process only holds the library and the driver threads.
# --------------------------------------------------------------------------

def run_responder(fd):
    """Answer every "<I{addr} M116>" line at once with "I{addr} 2\\r\\n".
    A negative fd means: listen on a local TCP port, print it, and serve the
    one connection that comes."""
    from orvaklab._far_end import serve

    read, write = (lambda: os.read(fd, 65536)), (lambda data: os.write(fd, data))
    if fd < 0:
        import socket
        listener = socket.create_server(("127.0.0.1", 0))
        sys.stdout.write(f"ready {listener.getsockname()[1]}\n")
        sys.stdout.flush()
        conn, _ = listener.accept()
        listener.close()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        read, write = (lambda: conn.recv(65536)), conn.sendall
    else:
        sys.stdout.write("ready\n")
        sys.stdout.flush()
    serve(read, write, lambda address, command: ["2"] if command == "M116" else [])


class FarEnd:
    """A raw pty pair whose master is served by a responder subprocess, or
    (tcp=True) a local TCP port served by one."""

    def __init__(self, tcp=False):
        if tcp:
            self.slave_fd = None
            self.proc = subprocess.Popen(
                [sys.executable, os.path.abspath(__file__), "--responder", "-1"],
                stdout=subprocess.PIPE, text=True)
            word, port = self.proc.stdout.readline().split()
            if word != "ready":
                raise RuntimeError("responder process did not start")
            self.path = f"socket://127.0.0.1:{port}"
            return
        master, slave = pty.openpty()
        tty.setraw(master)
        tty.setraw(slave)
        self.slave_fd = slave           # held open for the whole case
        self.path = os.ttyname(slave)
        self.proc = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "--responder", str(master)],
            pass_fds=(master,), stdout=subprocess.PIPE, text=True)
        os.close(master)                # only the responder holds the master
        if self.proc.stdout.readline().strip() != "ready":
            raise RuntimeError("responder process did not start")

    def close(self):
        """Close our slave end, reap the responder; return its CPU seconds."""
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        try:
            if self.slave_fd is not None:
                os.close(self.slave_fd)
        except (OSError, TypeError):
            pass
        try:
            self.proc.wait(timeout=2)
        except subprocess.TimeoutExpired:
            self.proc.terminate()
            self.proc.wait(timeout=2)
        self.proc.stdout.close()
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        return (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)


# --------------------------------------------------------------------------
# Measured side
# --------------------------------------------------------------------------

def load_library():
    # The script lives in <repo>/benchmarks; make sure the installed package,
    # not a source tree on sys.path, is what gets imported.
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    sys.path[:] = [p for p in sys.path
                   if os.path.abspath(p or os.curdir) != repo]
    global Instrument, InstrumentGroup, SerialManager, NativeSerialPort, BenchChain, serial
    from orvaklab.unitbase import Instrument
    from orvaklab.unitgroup import InstrumentGroup
    from orvaklab.seriallink import SerialManager, NativeSerialPort
    from orvaklab.sim import BenchChain
    import serial


def make_probe_class():
    class Probe(Instrument):
        def __init__(self, n, group):
            super().__init__()
            self.instrument_number = n
            self.my_group = group
            self.name = f"probe {n + 1}"
    return Probe


def open_port(kind, path):
    if kind == "native":
        return NativeSerialPort(path)
    if kind == "socket":
        return serial.serial_for_url(path, timeout=0)
    return serial.Serial(path, 115200, timeout=0)


class Chain:
    """A port + manager with `count` drivers at addresses 1..count: probes on a
    pty answered by a responder process, or rotary valves on the emulator."""

    def __init__(self, kind, count):
        self.far = self.server = None
        if kind in RESPONDER_KINDS:
            self.far = FarEnd(tcp=kind == "socket")
            self.port = open_port(kind, self.far.path)
            self.group = InstrumentGroup([])
            Probe = make_probe_class()
            for n in range(count):
                self.group.inst.append(Probe(n, self.group))
        else:
            self.bench = bench = BenchChain([VALVE_TYPE_CODE] * count, time_scale=0.0)
            if kind == "sim-inprocess":
                self.port = bench.port()
            else:
                # The pty server's thread runs in this process.
                self.server = bench.serve_pty()
                self.port = open_port("pyserial" if uses_pyserial(kind) else "native",
                                      self.server.path)
            self.group = InstrumentGroup([VALVE_TYPE_CODE] * count)
        self.group.seriallink = SerialManager(self.port, self.group)

    def close(self):
        """Stop the manager, close the port; return the responder's CPU s
        (nan without a responder)."""
        self.group.seriallink.stop()
        try:
            if self.port.is_open:
                self.port.close()
        except Exception:
            pass
        if self.server is not None:
            self.server.close()
        return self.far.close() if self.far is not None else float("nan")


def make_call(inst, op):
    """A function doing one `op` on `inst` (raising if it goes wrong). For
    select_port the valve is homed first, then moves alternate to ports 2, 3."""
    if op == "identify":
        def call():                     # the responder and the valves both answer 2
            r = inst.identify()
            if r != 2:
                raise RuntimeError(f"identify() returned {r!r}")
        return call

    inst.home()
    target = [2]

    def call():
        n = target[0]
        inst.select_port(n, wait=True)
        target[0] = 5 - n            # 2, 3, 2, 3, ...
    return call


def percentile(sorted_values, q):
    """Nearest-rank percentile of an already sorted list."""
    if not sorted_values:
        return float("nan")
    k = math.ceil(round(q / 100.0 * len(sorted_values), 9)) - 1
    return sorted_values[max(0, min(len(sorted_values) - 1, k))]


def cpu_seconds():
    ru = resource.getrusage(resource.RUSAGE_SELF)
    return ru.ru_utime + ru.ru_stime


def time_calls(call, calls):
    """Warms up, then times `calls` calls one after another: the sorted
    per-call seconds and the elapsed seconds."""
    for _ in range(WARMUP_CALLS):
        call()
    samples = []
    clock = time.perf_counter
    start = clock()
    for _ in range(calls):
        t0 = clock()
        call()
        samples.append(clock() - t0)
    elapsed = clock() - start
    samples.sort()
    return samples, elapsed


def bench_latency(kind, calls, op="identify"):
    chain = Chain(kind, 1)
    try:
        inst = chain.group.inst[0]
        cpu0 = cpu_seconds()
        samples, elapsed = time_calls(make_call(inst, op), calls)
        cpu = cpu_seconds() - cpu0
        if op == "select_port" and inst.check_position() != inst._current_port:
            raise RuntimeError("the valve is not at the port the driver expects")
    finally:
        responder_cpu = chain.close()
    return {
        "latency_calls": calls,
        "p50_us": percentile(samples, 50) * 1e6,
        "p99_us": percentile(samples, 99) * 1e6,
        "max_us": samples[-1] * 1e6,
        "elapsed_s": elapsed,
        "calls_per_s_1thread": calls / elapsed,
        "cpu_us_per_call_1thread": cpu / calls * 1e6,
        "responder_cpu_s_1thread": responder_cpu,
    }


def bench_threads(kind, seconds, op="identify", threads=THREADS):
    chain = Chain(kind, threads)
    counts = [0] * threads
    errors = []
    ends = [0.0] * threads
    barrier = threading.Barrier(threads + 1)
    stop_at = [0.0]

    def worker(i):
        inst = chain.group.inst[i]
        call = None
        try:
            call = make_call(inst, op)
            call()                          # warm-up, not counted
        except Exception as e:
            errors.append(f"thread {i} warm-up: {e!r}")
        barrier.wait()
        n = 0
        clock = time.perf_counter
        try:
            while call is not None and clock() < stop_at[0]:
                call()
                n += 1
        except Exception as e:
            errors.append(f"thread {i}: {e!r}")
        counts[i] = n
        ends[i] = clock()

    try:
        ts = [threading.Thread(target=worker, args=(i,), daemon=True)
              for i in range(threads)]
        for t in ts:
            t.start()
        time.sleep(0.05)
        cpu0 = cpu_seconds()
        start = time.perf_counter()
        stop_at[0] = start + seconds
        barrier.wait()
        for t in ts:
            t.join(seconds + 10)
        elapsed = max(ends) - start
        cpu = cpu_seconds() - cpu0
    finally:
        responder_cpu = chain.close()
    total = sum(counts)
    return {
        "threads": threads,
        "seconds": elapsed,
        "thread_calls": total,
        "calls_per_thread": counts,
        "calls_per_s_4threads": total / elapsed if elapsed > 0 else float("nan"),
        "cpu_us_per_call_4threads": cpu / total * 1e6 if total else float("nan"),
        "responder_cpu_s_4threads": responder_cpu,
        "errors": errors,
    }


def bench_idle(kind, seconds):
    chain = Chain(kind, 1)
    try:
        return measure_idle(seconds)
    finally:
        chain.close()


def measure_idle(seconds):
    """Process CPU across a sleep of `seconds` (after a short settle), with
    whatever managers the caller keeps running."""
    time.sleep(IDLE_SETTLE)
    c0 = time.process_time()
    w0 = time.perf_counter()
    time.sleep(seconds)
    wall = time.perf_counter() - w0
    cpu = time.process_time() - c0
    return {
        "idle_wall_s": wall,
        "idle_cpu_ms": cpu * 1e3,
        "idle_cpu_ms_per_s": cpu * 1e3 / wall,
        "idle_cpu_pct_core": cpu / wall * 100.0,
    }


class UnplugRig:
    """`count` drivers on a far end that answers nothing and can be pulled:
    a pty whose master this process holds, a TCP connection it accepted, or
    the bench emulator's own unplug."""

    def __init__(self, kind, count):
        self.kind, self.master, self.conn, self.server = kind, None, None, None
        if kind in RESPONDER_KINDS:
            if kind == "socket":
                import socket
                listener = socket.create_server(("127.0.0.1", 0))
                self.port = open_port(kind, "socket://127.0.0.1:%d" % listener.getsockname()[1])
                self.conn, _ = listener.accept()
                listener.close()
            else:
                self.master, slave = pty.openpty()
                tty.setraw(self.master)
                tty.setraw(slave)
                self.port = open_port(kind, os.ttyname(slave))
                os.close(slave)
            self.group = InstrumentGroup([])
            Probe = make_probe_class()
            for n in range(count):
                self.group.inst.append(Probe(n, self.group))
        else:
            self.bench = BenchChain([VALVE_TYPE_CODE] * count, time_scale=0.0)
            if kind == "sim-inprocess":
                self.port = self.bench.port()
            else:
                self.server = self.bench.serve_pty()
                self.port = open_port("pyserial" if uses_pyserial(kind) else "native",
                                      self.server.path)
            self.group = InstrumentGroup([VALVE_TYPE_CODE] * count)
        self.group.seriallink = SerialManager(self.port, self.group)

    def unplug(self):
        if self.master is not None:
            os.close(self.master)
        elif self.conn is not None:
            self.conn.close()
        elif self.server is not None:
            self.server.unplug()
        else:
            self.bench.unplug()

    def close(self):
        self.group.seriallink.stop()
        if self.server is not None:
            self.server.close()


def bench_unplug(kind, repeats, threads=THREADS):
    """Per repeat: `threads` threads blocked in _wait_for_done(30), then the
    far end goes away; the time until the last wait has raised."""
    from orvaklab.exceptions import OrvakConnectionError
    latencies, errors = [], []
    for _ in range(repeats):
        rig = UnplugRig(kind, threads)
        ends = []
        started = threading.Barrier(threads + 1)

        def waiter(inst):
            started.wait()
            try:
                inst._wait_for_done(30.0)
                errors.append("a wait ended without an error")
            except OrvakConnectionError:
                ends.append(time.perf_counter())
            except Exception as e:
                errors.append(repr(e))

        ts = [threading.Thread(target=waiter, args=(inst,), daemon=True)
              for inst in rig.group.inst]
        for t in ts:
            t.start()
        started.wait()
        time.sleep(0.05)                # every waiter is blocked by now
        t0 = time.perf_counter()
        rig.unplug()
        for t in ts:
            t.join(35)
        if len(ends) == threads:
            latencies.append(max(ends) - t0)
        rig.close()
    latencies.sort()
    return {
        "unplug_repeats": repeats,
        "unplug_p50_ms": percentile(latencies, 50) * 1e3,
        "unplug_max_ms": (latencies[-1] if latencies else float("nan")) * 1e3,
        "unplug_errors": errors,
    }


def fmt(v, nd=0):
    return "n/a" if v != v else f"{v:,.{nd}f}"


# --------------------------------------------------------------------------
# Flow controller readings: read_channel() beside identify() on one emulated
# mass flow controller at time scale 0. read_channel() sends one M300 query
# and waits for one data line, then undoes the board's integer scaling.
# --------------------------------------------------------------------------

FLOW_KINDS = ("sim-inprocess", "sim-pty-native")
FLOW_TYPE_CODE = 14


def bench_flow_reads(kind, calls):
    """identify() and read_channel() latency and rate from one thread."""
    bench = BenchChain([FLOW_TYPE_CODE], time_scale=0.0)
    server = None
    if kind == "sim-inprocess":
        port = bench.port()
    else:
        server = bench.serve_pty()
        port = NativeSerialPort(server.path)
    group = InstrumentGroup([FLOW_TYPE_CODE])
    group.seriallink = SerialManager(port, group)
    mfc = group[0]
    mfc.set_setpoint(1, 0.25)
    results = {}
    try:
        for op, call in (("identify", mfc.identify), ("read_channel", mfc.read_channel)):
            samples, elapsed = time_calls(call, calls)
            results[op] = {
                "calls": calls,
                "p50_us": percentile(samples, 50) * 1e6,
                "p99_us": percentile(samples, 99) * 1e6,
                "calls_per_s": calls / elapsed,
            }
        if mfc.read_channel()["flow"] != 0.25:
            raise RuntimeError("read_channel() does not report the flow that was set")
    finally:
        group.seriallink.stop()
        if server is not None:
            server.close()
    return results


def run_flow_reads(calls):
    """Measures and prints the flow controller figures; returns them."""
    results = {}
    for kind in FLOW_KINDS:
        print(f"[{kind}] flow controller: identify() and read_channel(), {calls} calls each "
              "from one thread ...", flush=True)
        results[kind] = bench_flow_reads(kind, calls)
        gc.collect()
    print()
    head = f"{'port':<17} {'op':<13} {'calls':>6} {'p50 us':>9} {'p99 us':>9} {'calls/s':>10}"
    print("mass flow controller (type code 14), time scale 0")
    print(head)
    print("-" * len(head))
    for kind in FLOW_KINDS:
        for i, (op, r) in enumerate(results[kind].items()):
            print(f"{kind if i == 0 else '':<17} {op:<13} {r['calls']:>6} {fmt(r['p50_us']):>9} "
                  f"{fmt(r['p99_us']):>9} {fmt(r['calls_per_s']):>10}")
    return results


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--calls", type=int, default=2000,
                    help="calls per latency run for the kinds without pyserial (2000)")
    ap.add_argument("--pyserial-calls", type=int, default=2000,
                    help="calls per latency run for the pyserial kinds (2000)")
    ap.add_argument("--seconds", type=float, default=3.0,
                    help="duration of each four-thread run (3)")
    ap.add_argument("--idle-seconds", type=float, default=5.0,
                    help="idle CPU window per port kind (5)")
    ap.add_argument("--unplugs", type=int, default=5,
                    help="unplug runs per port kind (5)")
    ap.add_argument("--kinds", default=",".join(ALL_KINDS),
                    help="comma-separated subset of " + ",".join(ALL_KINDS))
    ap.add_argument("--flow-calls", type=int, default=2000,
                    help="calls per flow controller run; 0 skips the flow controller (2000)")
    ap.add_argument("--json", metavar="PATH", help="also write results as JSON")
    ap.add_argument("--responder", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.responder is not None:
        run_responder(args.responder)
        return 0

    load_library()
    kinds = [k.strip() for k in args.kinds.split(",") if k.strip()]
    for k in kinds:
        if k not in ALL_KINDS:
            ap.error(f"unknown port kind {k!r}")

    load_before = os.getloadavg()
    t_run = time.perf_counter()
    results = {}
    for kind in kinds:
        calls = args.pyserial_calls if uses_pyserial(kind) else args.calls
        results[kind] = {}
        for op in operations_of(kind):
            print(f"[{kind}] {op}: {calls} calls from one thread, then {THREADS} threads "
                  f"for {args.seconds:g} s ...", flush=True)
            r = bench_latency(kind, calls, op)
            gc.collect()
            r.update(bench_threads(kind, args.seconds, op))
            gc.collect()
            results[kind][op] = r
    for kind in kinds:
        print(f"[{kind}] idle manager CPU over {args.idle_seconds:g} s ...",
              flush=True)
        results[kind].update(bench_idle(kind, args.idle_seconds))
        gc.collect()
    for kind in kinds:
        print(f"[{kind}] unplug with {THREADS} blocked waits, {args.unplugs} times ...",
              flush=True)
        results[kind].update(bench_unplug(kind, args.unplugs))
        gc.collect()
    load_after = os.getloadavg()
    total_wall = time.perf_counter() - t_run

    import serial as _s
    machine = {
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
        "platform": platform.platform(),
        "cores": os.cpu_count(),
        "loadavg_before": load_before,
        "loadavg_after": load_after,
        "pyserial": getattr(_s, "__version__", "?"),
        "wall_s": total_wall,
    }

    print()
    head = (f"{'port':<17} {'op':<12} {'calls':>6} {'p50 us':>9} {'p99 us':>9} "
            f"{'calls/s 1thr':>13} {'calls/s 4thr':>13} {'idle CPU ms/s':>14} "
            f"{'idle %core':>11} {'unplug ms':>10}")
    print(head)
    print("-" * len(head))
    for kind in kinds:
        k = results[kind]
        for i, op in enumerate(operations_of(kind)):
            r = k[op]
            idle = (f"{fmt(k['idle_cpu_ms_per_s'], 2):>14} {fmt(k['idle_cpu_pct_core'], 2):>11} "
                    f"{fmt(k['unplug_max_ms'], 1):>10}" if i == 0 else "")
            print(f"{kind if i == 0 else '':<17} {op:<12} {r['latency_calls']:>6} "
                  f"{fmt(r['p50_us']):>9} {fmt(r['p99_us']):>9} "
                  f"{fmt(r['calls_per_s_1thread']):>13} {fmt(r['calls_per_s_4threads']):>13} "
                  f"{idle}".rstrip())
    print()
    for kind in kinds:
        for op in operations_of(kind):
            r = results[kind][op]
            responder = ("" if kind not in RESPONDER_KINDS else
                         f"; responder process CPU {r['responder_cpu_s_4threads']:.2f} s "
                         f"in the 4-thread case")
            print(f"{kind} {op}: 4-thread run {r['seconds']:.2f} s, per-thread calls "
                  f"{r['calls_per_thread']}; process CPU per call "
                  f"{fmt(r['cpu_us_per_call_1thread'])} us (1 thr), "
                  f"{fmt(r['cpu_us_per_call_4threads'])} us (4 thr); "
                  f"latency max {fmt(r['max_us'])} us{responder}")
            for e in r["errors"]:
                print(f"  error: {e}")
        u = results[kind]
        print(f"{kind} unplug: {u['unplug_repeats']} runs, last of {THREADS} blocked waits "
              f"ended after p50 {fmt(u['unplug_p50_ms'], 2)} ms, max "
              f"{fmt(u['unplug_max_ms'], 2)} ms")
        for e in u["unplug_errors"]:
            print(f"  error: {e}")
    la0 = ", ".join(f"{x:.2f}" for x in load_before)
    la1 = ", ".join(f"{x:.2f}" for x in load_after)
    print(f"machine: Python {machine['python']} ({machine['implementation']}), "
          f"{machine['cores']} cores, pyserial {machine['pyserial']}, "
          f"load avg 1/5/15 min before [{la0}] after [{la1}], run {total_wall:.1f} s")

    flow_reads = run_flow_reads(args.flow_calls) if args.flow_calls > 0 else {}

    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": machine, "results": results, "flow_reads": flow_reads}, f,
                      indent=2)
        print(f"wrote {args.json}")
    failed = any(results[k][op]["errors"] for k in kinds for op in operations_of(k))
    return 1 if failed or any(results[k]["unplug_errors"] for k in kinds) else 0


if __name__ == "__main__":
    sys.exit(main())
