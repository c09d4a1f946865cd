"""The one rule for blocks of image lines within a memory budget."""

# Bytes held per pixel and time step while a block is converted and fit,
# and per pixel besides: source values, validity, counts and their
# temporaries, samples, mask, fitted series and the products in both layouts.
BYTES_PER_SAMPLE = 64
BYTES_PER_PIXEL = 128
# Lines of a GeoTIFF tile: blocks of whole tiles are written once each.
TILE_LINES = 256
# The budget of the tools that take none (import).
DEFAULT_BUDGET = 64 * 2**20


def line_bytes(width, ndat, npara=0):
    """Bytes that one image line of width pixels, ndat time steps and npara
    parameters holds while it is converted and fit."""
    return width * (ndat * BYTES_PER_SAMPLE + npara * 8 + BYTES_PER_PIXEL)


def rows_per_block(budget, width, ndat, npara=0):
    """Image lines per block such that a block of width pixels with ndat time
    steps and npara parameters stays within budget bytes; at least 1, a
    multiple of TILE_LINES when there is room for one."""
    rows = max(1, budget // max(line_bytes(width, ndat, npara), 1))
    return rows - rows % TILE_LINES if rows >= TILE_LINES else rows


def blocks_for_overlap(height, rows, blocks=4):
    """Lines per block, at most rows, such that a cube of height lines makes
    at least `blocks` blocks when it can, so that reading one block overlaps
    fitting another; whole tiles when there is room for them."""
    rows = min(rows, height, max(1, -(-height // blocks)))
    return rows - rows % TILE_LINES if rows >= TILE_LINES else rows
