import numpy as np
import pytest

from kovarkit.core.screening import screen
from kovarkit.errors import KitError
from kovarkit.formats.control import Control, control_template, read_control

TEMPLATE = control_template(3, 7, 9, mask=True, period=23)


@pytest.mark.parametrize("text, dims, steps, limits, mask", [
    ("46\n1200 1500\n&DATA NFUNC=6, NDEF=2 /\n&CONTRL INTP=1, TCLD=0.2 /\n&NPT NPOINT=46 /\n"
     "12\n46\n", (46, 1200, 1500, 6, 14), [12, 46], (-0.2, 0.4), 0),
    # no NPT group (the fixed-period reading), steps outside 1..NDAT skipped
    ("23\n4 5\n&DATA NFUNC=2, NDEF=3 /\n&CONTRL FITMD=1, TCLD=0.1, MASK=1 /\n0\n7\n9\n",
     (23, 4, 5, 2, 6), [7, 9], (-0.2, 0.1), 1),
    # the template, TCLD left at its exact default, NDEF = NDAT
    (TEMPLATE.replace("FITMD=0", "FITMD=2").replace("NDEF=0", "NDEF=3") + "1\n2\n5\n",
     (3, 7, 9, 6, 14), [1, 2], (-0.15000000596046448, 0.15000000596046448), 1),
])
def test_values_defaults_steps_and_limits(tmp_path, text, dims, steps, limits, mask):
    (tmp_path / "cntl.dat").write_text(text)
    c = read_control(str(tmp_path / "cntl.dat"))
    assert (c.ndat, c.nline, c.npix, c.nfunc, c.npara) == dims
    assert (c.excluded, c.residual_limits(), c.get("MASK")) == (steps, limits, mask)


def test_mask_and_raw_limits():
    raw = np.array([1100, 1536, 1537, 100, 612, 1125, 100])
    mask = np.array([1, 1, 1, 0, 1, 1, 1])
    ctl = Control(7, 1, 1, {"MASK": 1, "NDEF": 1}, [7])
    # 1537 is above the limit; 612 rises by exactly 512 and passes, 1125 by 513;
    # an excluded step with mask 1 still enters the fit
    assert screen(ctl, raw, mask).used.tolist() == [True, True, False, False, True, False, True]
    ctl.keys["FITSW"] = 0
    assert screen(ctl, raw, mask).used.tolist() == [True] * 6 + [False]
    # without mask and first fit nothing can be claimed about use
    assert screen(Control(7, 1, 1), raw).used is None


@pytest.mark.parametrize("text, where", [
    ("46\n10 x\n", "cntl.dat:2: expected an integer for NPIX"),
    (None, "cntl.dat: not found"),
])
def test_malformed_or_missing_files_are_refused_as_the_program_refuses_them(tmp_path, text, where):
    if text is not None:
        (tmp_path / "cntl.dat").write_text(text)
    with pytest.raises(KitError, match=where):
        read_control(str(tmp_path / "cntl.dat"))
