"""One fit per period: the windows, the engine's bytes, a moving season."""

import numpy as np
import pytest

from .periods import fit_periods, windows
from .seasons import seasons

pytest.importorskip("kovarkit._engine")


@pytest.mark.parametrize("ndat, window, starts, length", [
    (230, 3, [1, 1, 47, 93, 93], 138),     # centred, shifted inward at both ends
    (230, 2, [1, 47, 93, 139, 139], 92),   # even: one period more after than before
    (100, 3, [1, 1], 92),                  # shortened; the partial period is in none
    (46, 1, [1], 46),
])
def test_windows(ndat, window, starts, length):
    got = windows(ndat, 46, window)
    assert got[0].tolist() == starts and got[1] == length


@pytest.mark.parametrize("ndat, window, what", [(45, 3, "ndat"), (230, 5, "window"),
                                               (92, 0, "window")])
def test_windows_refused(ndat, window, what):
    with pytest.raises(ValueError, match=what):
        windows(ndat, 46, window)


def test_peak_moving_six_steps_a_year():
    import kovarkit
    # a 52-step cycle seen with a 46-step period: the peak comes 6 steps later
    # in each period (12, 64, 116, 168, 220)
    ndat, npoint = 230, 46
    t = np.arange(1, ndat + 1)
    rng = np.random.default_rng(3)
    clean = np.floor(4096 * (0.3 + 0.1 * np.cos(2 * np.pi * (t - 12.0) / 52.0)))
    samples = (clean + rng.integers(-30, 30, (4, ndat))).astype(np.int16)
    truth = 12.0 + 52.0 * np.arange(5)
    pp = fit_periods(samples, npoint=npoint, nfunc=2, excluded=(50, 100))
    for k, ws in enumerate(pp.window_start):
        one = kovarkit.fit(samples[:, ws - 1:ws - 1 + pp.window_length], npoint=npoint, nfunc=2,
                           excluded=[e - ws + 1 for e in (50, 100)])
        for name in ("p", "order", "aic", "min", "max"):
            assert getattr(pp, name)[:, k].tobytes() == getattr(one, name).tobytes()
    clean = fit_periods(clean.astype(np.int16)[None], npoint=npoint, nfunc=2)
    per = seasons(clean.p, npoint=npoint, ndat=ndat, window_start=clean.window_start)
    # centred windows follow the shift; those shifted inward at the ends
    # carry their middle period's timing
    assert (abs(per.peak_time[0, 1:4] - truth[1:4]) < 0.5).all()
    single = seasons(kovarkit.fit(samples[:, :184], npoint=npoint, nfunc=2).p, npoint=npoint,
                     ndat=184)
    assert (abs(single.peak_time - truth[:4]) > 5).any()
    alone = fit_periods(samples, npoint=npoint, nfunc=2, window=1)
    per = seasons(alone.p, npoint=npoint, ndat=ndat, window_start=alone.window_start)
    assert (abs(per.peak_time - truth) < 1).all() and (per.quality & 3 == 0).all()
