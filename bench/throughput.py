"""Throughput of every path through the simulator, side by side in one run on
the same random plans: a plain C++ run of the model (bench/plain_run.cpp,
checked bit for bit against the core), the C++ core's scalar loop and SIMD
lanes (four AVX2 lanes, and eight AVX-512 lanes where the CPU has them,
also with their quotients from the divider instead of the FMA sequence) on
one thread, `sim_batch` from a list of lists and from a NumPy array at 1 and
at all threads (on a CPU with AVX-512 also with the AVX2 lanes forced, which
is what a CPU without it gets), and a loop of `sim` calls; then the share of the
plans' link angles that the fast atan2 hands to the C library, by region;
and what the conversion of a large input costs.

    python bench/throughput.py [--plans 20000] [--repeats 5]

Builds the C++ core benchmark with CMake into build/bench first.
"""
import argparse
import os
import subprocess
import tempfile
from pathlib import Path

import numpy as np

from _timing import print_table, random_plans, time_in_process

ROOT = Path(__file__).resolve().parent.parent


def core_rates(plans, repeats, scratch):
    build = ROOT / "build" / "bench"
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                    "-DZORV_BUILD_MODULE=OFF", "-DZORV_BUILD_BENCH=ON"],
                   check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build), "--target", "core_throughput", "-j2"],
                   check=True, capture_output=True)
    raw = Path(scratch) / "plans.f64"
    plans.astype("<f8").tofile(raw)
    out = subprocess.run([str(build / "core_throughput"), str(raw), str(repeats)],
                         check=True, capture_output=True, text=True).stdout
    rates, regions = {}, []
    for line in out.splitlines():
        kind, rest = line.split(" ", 1)
        if kind == "region":
            name, angles, share = rest.split("\t")
            regions.append([name, f"{int(angles):,}", f"{float(share):.2f} %"])
            continue
        name, rate, mismatches = rest.split()
        if int(mismatches):
            raise SystemExit(f"{name}: {mismatches} scores differ from the plain run")
        rates[name] = float(rate)
    return rates, regions


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plans", type=int, default=20_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--conversion-plans", type=int, default=100_000)
    args = parser.parse_args()
    threads = len(os.sched_getaffinity(0))
    plans = random_plans(args.plans)
    rows = []
    with tempfile.TemporaryDirectory() as scratch:
        core, regions = core_rates(plans, args.repeats, scratch)
        plain, scalar = core["plain"], core["scalar"]
        rows.append(["plain C++ run (bench/plain_run.cpp)", 1, plain])
        rows.append(["C++ scalar loop (the scalar run per plan)", 1, scalar])
        if "avx2_lanes" in core:
            rows.append(["C++ AVX2 batch core, library atan2", 1, core["avx2_lanes"]])
        if "one_lane_fast_atan2" in core:
            rows.append(["C++ one lane, fast atan2 (sim's run)", 1, core["one_lane_fast_atan2"]])
        if "avx2_lanes_fast_atan2" in core:
            rows.append(["C++ AVX2 batch core, fast atan2", 1, core["avx2_lanes_fast_atan2"]])
        if "avx512_lanes" in core:
            rows.append(["C++ AVX-512 batch core, library atan2", 1, core["avx512_lanes"]])
            rows.append(["  the same, quotients from the divider", 1, core["avx512_lanes_divider"]])
        if "avx512_lanes_fast_atan2" in core:
            rows.append(["C++ AVX-512 batch core, fast atan2", 1, core["avx512_lanes_fast_atan2"]])
            rows.append(["  the same, quotients from the divider", 1,
                         core["avx512_lanes_fast_atan2_divider"]])

        path = Path(scratch) / "plans.npy"
        np.save(path, plans)
        for count in sorted({1, threads}):
            cases = ["list", "numpy"] + (["sim_loop"] if count == 1 else [])
            seconds = time_in_process(path, count, cases, args.repeats)
            rows.append(["sim_batch(list of lists)", count, args.plans / seconds["list"]])
            rows.append(["sim_batch(NumPy array)", count, args.plans / seconds["numpy"]])
            if "sim_loop" in seconds:
                rows.append(["loop of sim(list)", 1, args.plans / seconds["sim_loop"]])
            if "avx512_lanes" in core:
                forced = time_in_process(path, count, ["numpy"], args.repeats,
                                         {"ZORV_FAST_NO_AVX512": "1"})
                rows.append(["sim_batch(NumPy array), AVX2 lanes forced", count,
                             args.plans / forced["numpy"]])

        big = np.tile(plans, (-(-args.conversion_plans // args.plans), 1))[:args.conversion_plans]
        big_path = Path(scratch) / "big.npy"
        np.save(big_path, big)
        conversion = time_in_process(big_path, threads,
                                     ["list", "numpy", "list_conversion", "numpy_empty"],
                                     args.repeats)

    from zorv import _trace
    print(f"{args.plans} random plans, best of {args.repeats}; ratios to the plain run "
          "and to the C++ scalar loop; every score bit for bit the plain run's; "
          f"sim_batch takes the {_trace.batch_settings()[1]}")
    print_table(["path", "threads", "plans/s", "to plain", "to scalar loop"],
                [[name, t, f"{rate:,.0f}", f"{rate / plain:.2f}", f"{rate / scalar:.2f}"]
                 for name, t, rate in rows])
    print()
    if regions:
        print("link angles of these plans handed by the fast atan2 to the C library")
        print_table(["region", "angles", "from library"], regions)
        print()
    n = args.conversion_plans
    t_list, t_numpy = conversion["list"], conversion["numpy"]
    # The array's conversion is only a buffer request, so the extra time of the
    # same plans given as lists is what reading the lists costs.
    list_reading = max(t_list - t_numpy + conversion["numpy_empty"], 0.0)
    print(f"conversion of {n} plans, as a share of sim_batch on {threads} threads")
    print_table(["input", "conversion s", "sim_batch s", "share"], [
        ["NumPy (N, 40) float64 (a whole call on no rows)", f"{conversion['numpy_empty']:.6f}",
         f"{t_numpy:.3f}", f"{conversion['numpy_empty'] / t_numpy:.2%}"],
        ["list of lists of floats (difference to the array)", f"{list_reading:.4f}",
         f"{t_list:.3f}", f"{list_reading / t_list:.2%}"],
        ["any sequence, general path (fails on a bad last plan)",
         f"{conversion['list_conversion']:.4f}", f"{t_list:.3f}",
         f"{conversion['list_conversion'] / t_list:.2%}"],
    ])


if __name__ == "__main__":
    main()
