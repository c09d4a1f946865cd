"""Array compute: the engine, seasonal metrics, the products' description,
the conversion to counts and the screening rules, on numpy arrays only (no
files, no xarray)."""
