#!/usr/bin/python3
"""Seasons: speed of the seasons step, of fit_periods against fit, and the
completeness of the seasons on generated scenes with coherent clouds.

    bench/seasons_bench.py BUILD_DIR [LINES PIXELS NDAT]    (default 1000 1000 92)

1. kovarkit.seasons on LINES x PIXELS synthetic models: constant 0.2..0.4, a
   small trend, the first harmonic with amplitude 0.05..0.15 and any phase,
   the higher ones at a fifth of that or less, each left out at random; 2 %
   failed fits (all zero).
2. kovarkit.fit and kovarkit.fit_periods (window 3) on the same generated
   scene (BUILD_DIR/mkscene, 40 x 250 pixels, 184 steps, coherent clouds),
   pixels per second, and the seasons step against the fit that feeds it.
3. Completeness: the share of the seasons of successfully fitted pixels with
   quality 0 or 4 and every metric finite, on generated scenes of 40 x 100
   pixels, 138 steps, NPOINT 46, coherent clouds (three seeds).
"""

import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "kovarkit"))
import kovarkit  # noqa: E402
from kovarkit.core.seasons import METRICS  # noqa: E402


def synthetic(nline, npix, nfunc=6):
    rng = np.random.default_rng(1)
    n = nline * npix
    p = np.zeros((n, 2 * nfunc + 2), np.float32)
    p[:, 0] = rng.uniform(0.2, 0.4, n)
    p[:, 1] = rng.uniform(-0.002, 0.002, n)
    p[:, 2] = rng.uniform(0.05, 0.15, n)
    p[:, 4::2] = rng.uniform(0, 0.03, (n, nfunc - 1)) * (rng.random((n, nfunc - 1)) < 0.5)
    p[:, 3::2] = rng.uniform(-np.pi, np.pi, (n, nfunc))
    p[rng.random(n) < 0.02] = 0
    return p.reshape(nline, npix, -1)


def scene(build, d, lines, pixels, steps, seed):
    subprocess.run([os.path.join(build, "mkscene"), d, "--lines", str(lines), "--pixels",
                    str(pixels), "--steps", str(steps), "--seed", str(seed), "--clouds",
                    "coherent"], check=True, stdout=subprocess.DEVNULL)
    raw = np.fromfile(os.path.join(d, "data.bsq"), "<i2").reshape(steps, lines, pixels)
    return np.ascontiguousarray(raw.transpose(1, 2, 0))


def complete(m, fitted):
    """Share of the seasons of fitted pixels with quality 0 or 4, all metrics finite."""
    ok = np.isin(m.quality, (0, 4))
    for name in METRICS:
        ok &= np.isfinite(getattr(m, name))
    return ok[fitted].mean()


def main(build, nline, npix, ndat):
    p = synthetic(nline, npix)
    wall = time.perf_counter()
    m = kovarkit.seasons(p, npoint=46, ndat=ndat)
    seasons_wall = time.perf_counter() - wall
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"seasons: {nline} x {npix} pixels, {ndat // 46} period(s) of 46 steps, grid 0.1: "
          f"{seasons_wall:.1f} s ({nline * npix / seasons_wall:,.0f} pixels/s), peak memory "
          f"{rss:.0f} MiB; {complete(m, p.any(axis=-1)):.1%} of the seasons complete")
    with tempfile.TemporaryDirectory() as tmp:
        samples = scene(build, os.path.join(tmp, "a"), 40, 250, 184, 7)
        n = samples.shape[0] * samples.shape[1]
        rates = {}
        for name, run in (("fit", lambda: kovarkit.fit(samples)),
                          ("fit_periods", lambda: kovarkit.fit_periods(samples, window=3))):
            wall = time.perf_counter()
            run()
            rates[name] = n / (time.perf_counter() - wall)
        print(f"fit: {rates['fit']:,.0f} pixels/s; fit_periods (window 3, two windows of 138 "
              f"steps): {rates['fit_periods']:,.0f} pixels/s (40 x 250 pixels, 184 steps)")
        per_pixel = seasons_wall / (nline * npix)
        print(f"seasons step / fit that feeds it: {per_pixel * rates['fit']:.3f} (fit), "
              f"{per_pixel * rates['fit_periods']:.3f} (fit_periods)")
        shares = []
        for seed in (1, 2, 3):
            samples = scene(build, os.path.join(tmp, f"c{seed}"), 40, 100, 138, seed)
            one = kovarkit.fit(samples)
            per = kovarkit.fit_periods(samples, window=3)
            shares.append((complete(kovarkit.seasons(one.p, npoint=46, ndat=138),
                                    one.order != 255),
                           complete(kovarkit.seasons(per.p, npoint=46, ndat=138,
                                                     window_start=per.window_start),
                                    per.order != 255)))
        print("completeness (40 x 100 pixels, 138 steps, coherent clouds, seeds 1-3): "
              + ", ".join(f"{a:.1%}/{b:.1%}" for a, b in shares) + " (fit/fit_periods)")


if __name__ == "__main__":
    if len(sys.argv) not in (2, 5):
        sys.exit(__doc__.split("\n\n")[1])
    main(os.path.abspath(sys.argv[1]),
         *((int(a) for a in sys.argv[2:5]) if len(sys.argv) == 5 else (1000, 1000, 92)))
