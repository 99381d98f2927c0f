#!/usr/bin/python3
"""The "Python binding" block of scripts/bench: what the ryx package adds to the C call for a short exchange.

One simulated KT4470RS (ryx_sim, no wire time), one reader open on it, the card powered. Each paired round makes
the same number of short exchanges (5-byte command, 2-byte response) both ways, in alternating order:

  binding   Slot.transmit(apdu): the Response built, errors checked, the 65,538-byte buffer of the thread reused
  C call    RYX_ExchangeApdu through ctypes with every argument prepared beforehand: the least any Python caller
            pays for the call itself

and writes to --out, as "name value" lines for ryx_bench's table:

  binding_ns, c_call_ns          wall time per exchange (medians over the rounds)
  latency_ratio                  binding / C call: the median of the rounds' ratios
  binding_cpu_ns, c_call_cpu_ns  this thread's CPU time per exchange (medians); cpu_ratio as above
  added_ns                       binding - C call per exchange: the median of the rounds' differences
  rounds, exchanges              how many rounds, and exchanges each way in a round

Usage: python_bench.py --sim RYX_SIM --library LIBRYX [--quick] --out FILE   (the package from PYTHONPATH)
Exit status 0 when it ran, 1 with a reason on standard error when it could not.
"""
import argparse
import ctypes
import os
import statistics
import sys
import time

APDU = bytes.fromhex("80FF000000")  # an instruction the card does not know: 6D 00


def measure(ryx, sim_program, pairs):
    import ryx.sim
    with ryx.sim.Simulator(program=sim_program) as sim, ryx.open(sim.port) as reader:
        slot = reader.slot(0)
        slot.power_on()
        if slot.transmit(APDU) != (b"", 0x6D, 0x00):
            raise RuntimeError("the short exchange did not give 6D 00")
        lib, handle = reader._lib, reader._handle
        command, response = APDU, ctypes.create_string_buffer(ryx.MAX_RESPONSE_SIZE)
        length = ctypes.c_uint32()
        exchange, size, pointer = lib.RYX_ExchangeApdu, ryx.MAX_RESPONSE_SIZE, ctypes.byref(length)

        def c_call():
            length.value = size
            if exchange(handle, 0, command, 5, response, pointer):
                raise RuntimeError("RYX_ExchangeApdu failed")

        def binding():
            slot.transmit(command)

        # One exchange each way in turn, each timed on its own: both see the same moments of the machine's load,
        # and the medians leave out the exchanges that a busy machine delayed.
        times = {binding: ([], []), c_call: ([], [])}
        wall, cpu = time.perf_counter_ns, time.thread_time_ns
        for i in range(pairs + pairs // 10):  # the first tenth warms up
            for way in ((binding, c_call) if i % 2 == 0 else (c_call, binding)):
                w, c = wall(), cpu()
                way()
                c, w = cpu() - c, wall() - w
                if i >= pairs // 10:
                    times[way][0].append(w)
                    times[way][1].append(c)
    median = statistics.median
    b_wall, b_cpu = (median(t) for t in times[binding])
    c_wall, c_cpu = (median(t) for t in times[c_call])
    return {
        "binding_ns": b_wall,
        "c_call_ns": c_wall,
        "latency_ratio": b_wall / c_wall,
        "binding_cpu_ns": b_cpu,
        "c_call_cpu_ns": c_cpu,
        "cpu_ratio": b_cpu / c_cpu,
        "added_ns": b_wall - c_wall,
        "pairs": pairs,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    os.environ["RYX_LIBRARY"] = os.path.abspath(args.library)
    try:
        import ryx
        figures = measure(ryx, os.path.abspath(args.sim), 1000 if args.quick else 20000)
    except (ImportError, OSError, RuntimeError) as failure:
        print(f"python_bench.py: {failure}", file=sys.stderr)
        return 1
    with open(args.out, "w") as f:
        for name, value in figures.items():
            f.write(f"{name} {value:.4f}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
