"""The layers of kovarkit: each imports only downward, holds no private name
of another module, stays small, and works with the layers above it (and the
libraries they need) unimportable."""

import ast
import os
import subprocess
import sys

import pytest

from kovarkit.test_support import PKG, make_scene

HERE = os.path.join(PKG, "kovarkit")
# Layer -> the layers (and itself) its modules may import from.
MAY_IMPORT = {"errors": set(), "core": {"core", "_engine"}, "xarray": {"core"},
              "formats": {"errors", "core", "formats"}, "views": {"core", "views"},
              "cli": {"errors", "core", "formats", "views", "xarray", "cli"}}


def modules():
    for d, _, files in os.walk(HERE):
        for f in files:
            path = os.path.join(d, f)
            parts = os.path.relpath(path, HERE)[:-3].split(os.sep)
            if f.endswith(".py") and not f.startswith("test_") and len(parts) > 1 \
                    or f in ("xarray.py", "errors.py"):
                yield parts, path


def test_imports_go_downward_to_public_names_in_small_modules():
    for parts, path in modules():
        with open(path) as fh:
            text = fh.read()
        assert text.count("\n") <= 300, path
        layer = parts[0]
        for node in ast.walk(ast.parse(text)):
            if not isinstance(node, ast.ImportFrom) or not node.level:
                continue
            target = (parts[:len(parts) - node.level] + (node.module or "").split("."))
            target = [t for t in target if t] or [n.name for n in node.names]
            assert target[0] in MAY_IMPORT[layer], (path, node.lineno, target)
            private = [n.name for n in node.names if n.name.startswith("_")
                       and n.name != "_engine"]
            assert not private, (path, node.lineno, private)


def run_blocked(blocked, code, cwd=None):
    """Standard output of code run where the packages blocked cannot be imported
    (nor found by find_spec)."""
    code = f"import sys\nsys.modules.update(dict.fromkeys({sorted(blocked)!r}))\n" + code
    r = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, PYTHONPATH=PKG),
                       cwd=cwd, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    return r.stdout


@pytest.mark.parametrize("blocked,layer", [
    ({"xarray", "dask", "rasterio", "rioxarray", "matplotlib", "netCDF4", "zarr"}, "core"),
    ({"rasterio", "matplotlib", "netCDF4", "zarr"}, "xarray"),
    ({"matplotlib"}, "formats"),
])
def test_a_layer_imports_without_the_layers_above(blocked, layer):
    names = sorted(".".join(["kovarkit"] + [n for n in p if n != "__init__"])
                   for p, _ in modules() if p[0] == layer)
    run_blocked(blocked, "import " + ", ".join(names))


def test_scene_tools_run_without_xarray_and_dask(tmp_path):
    make_scene(tmp_path)
    out = run_blocked({"xarray", "dask", "rioxarray"}, """from kovarkit.cli import main
for argv in (["summary"], ["hdr"], ["export", "order"], ["map", "p", "3"]):
    assert main(argv) == 0, argv
""", cwd=tmp_path)
    assert "failed fits (order value <= 1): 1 (3.33%)" in out and "\n     7:       29 " in out
    assert "order.tif" in out and "map_p_b3.png" in out
