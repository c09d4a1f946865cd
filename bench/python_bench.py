#!/usr/bin/python3
"""The Python engine against the batch program on the same scene.

Usage: bench/python_bench.py BUILD_DIR (after bench/scene_bench.sh made
BUILD_DIR/scene). Prints pixels per second of kovarind (whole run, files
included) and of kovarkit.fit on the scene held in memory, with one thread
and with every core, each the best of BENCH_REPEAT (3) alternating runs, by
the clock and per CPU second (steadier on a shared machine), and checks
that both give the same bytes. Then writes
the scene as a GeoTIFF stack and runs `kovarkit fit` on it with a budget a
fraction of the cube's size, reporting its peak memory.
"""

import os
import resource
import subprocess
import sys
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "kovarkit"))

import kovarkit  # noqa: E402
from kovarkit.formats.control import read_control, read_values  # noqa: E402
from kovarkit.core.fit import CONTROL_DEFAULTS, default_threads  # noqa: E402


PRODUCTS = (("p.bsq", "p", "<f4"), ("f.bsq", "f", "<i2"), ("order.dat", "order", "u1"),
            ("aic.dat", "aic", "<f4"), ("min.dat", "min", "<i2"), ("max.dat", "max", "<i2"))


def keep(best, *rates):
    for i, r in enumerate(rates):
        best[i] = max(best[i], r)


def same_bytes(scene, prod):
    """True when kovarkit.fit's products are the bytes kovarind wrote."""
    for name, stem, dtype in PRODUCTS:
        a = getattr(prod, stem)
        a = np.moveaxis(a, -1, 0) if a.ndim == 3 else a  # band-sequential
        if np.fromfile(os.path.join(scene, name), dtype).tobytes() != a.astype(dtype).tobytes():
            return False
    return True


def main(build):
    build = os.path.abspath(build)
    scene = os.path.join(build, "scene")
    c = read_control(os.path.join(scene, "cntl.dat"))
    values = read_values(os.path.join(scene, "cntl.dat"))
    control = {k: values[k] for k in CONTROL_DEFAULTS if k != "excluded"}
    control["excluded"] = values["excluded"]
    shape = (c.ndat, c.nline, c.npix)
    raw = np.fromfile(os.path.join(scene, "data.bsq"), "<i2").reshape(shape)
    samples = np.ascontiguousarray(raw.transpose(1, 2, 0))
    mask = None
    if values["mask"] == 1:
        mask = np.ascontiguousarray(np.fromfile(os.path.join(scene, "mask.bsq"), "u1")
                                    .reshape(shape).transpose(1, 2, 0))
    n = c.nline * c.npix
    cores = default_threads()
    repeat = int(os.environ.get("BENCH_REPEAT", "3"))  # best of, alternating
    for threads in sorted({1, cores}):
        best = {"kovarind": [0.0, 0.0], "kovarkit.fit": [0.0, 0.0]}  # per second, per CPU second
        for _ in range(repeat):
            for name, _, _ in PRODUCTS:
                if os.path.exists(os.path.join(scene, name)):
                    os.remove(os.path.join(scene, name))
            r0, t0 = resource.getrusage(resource.RUSAGE_CHILDREN), time.perf_counter()
            subprocess.run([os.path.join(build, "kovarind")], cwd=scene, check=True,
                           stdout=subprocess.DEVNULL,
                           env=dict(os.environ, OMP_NUM_THREADS=str(threads)))
            wall, r1 = time.perf_counter() - t0, resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu = r1.ru_utime + r1.ru_stime - r0.ru_utime - r0.ru_stime
            keep(best["kovarind"], n / wall, n / cpu)
            c0, t0 = time.process_time(), time.perf_counter()
            prod = kovarkit.fit(samples, mask, threads=threads, **control)
            keep(best["kovarkit.fit"], n / (time.perf_counter() - t0),
                 n / (time.process_time() - c0))
        same = same_bytes(scene, prod)
        (bw, bc), (ew, ec) = best["kovarind"], best["kovarkit.fit"]
        print(f"{c.nline}x{c.npix}x{c.ndat}, {threads} thread(s), best of {repeat}: kovarind "
              f"{bw:.0f} pixels/s ({bc:.0f} per CPU second), kovarkit.fit {ew:.0f} pixels/s "
              f"({ec:.0f} per CPU second); ratio {ew / bw:.2f} ({ec / bc:.2f} per CPU second)"
              f"{'' if same else ' -- PRODUCTS DIFFER'}")
    memory(scene, raw, c)


def memory(scene, raw, c):
    import rasterio
    from rasterio.transform import from_origin
    tif = os.path.join(scene, "stack.tif")
    with rasterio.open(tif, "w", driver="GTiff", width=c.npix, height=c.nline, count=c.ndat,
                       dtype="int16", crs="EPSG:32633", transform=from_origin(0, 0, 30, 30),
                       interleave="band") as ds:
        ds.write(raw)
    cube_mb = raw.size * 8 / 2**20  # the cube as float64, as a whole-cube reader holds it
    budget_mb = max(1, int(cube_mb / 6))
    code = ("import resource, runpy, sys; sys.argv = ['kovarkit'] + sys.argv[1:]\n"
            "try: runpy.run_module('kovarkit', run_name='__main__')\n"
            "except SystemExit as e: assert not e.code, e.code\n"
            "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)")
    env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "kovarkit"))
    peaks = []
    for out, mem in ((os.path.join(scene, "tiny.zarr"), "64K"),
                     (os.path.join(scene, "fit.zarr"), f"{budget_mb}M")):
        src = tif
        if mem == "64K":  # interpreter and libraries alone: the first 3 lines
            src = os.path.join(scene, "tiny.tif")
            with rasterio.open(src, "w", driver="GTiff", width=c.npix, height=3,
                               count=c.ndat, dtype="int16", crs="EPSG:32633",
                               transform=from_origin(0, 0, 30, 30)) as ds:
                ds.write(raw[:, :3])
        t0 = time.perf_counter()
        r = subprocess.run([sys.executable, "-c", code, "fit", src, "--out", out, "--force",
                            "--quiet", "--memory", mem], env=env, check=True,
                           capture_output=True, text=True)
        peaks.append((int(r.stdout.split()[-1]) / 1024, time.perf_counter() - t0))
    (base, _), (peak, secs) = peaks
    print(f"kovarkit fit on a {cube_mb:.0f} MB cube (as float64) with --memory {budget_mb}M: "
          f"peak RSS {peak:.0f} MB, {peak - base:.0f} MB above the interpreter and libraries "
          f"({base:.0f} MB); {raw[0].size / secs:.0f} pixels/s including GeoTIFF in, Zarr out")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "build-bench")
