"""fit_many on Dask arrays: one task per chunk of rows, on the current scheduler.

Imported only when a Dask array is given, so that ombrix itself needs only
NumPy (``pip install 'ombrix[dask]'`` brings Dask).
"""

import numpy as np

from ._many import FitBatch


def fit_many_dask(fit_many, model, p0, y, sigma, options):
    """`fit_many` over the row chunks of `y` (and of `p0`, `sigma` when
    given per fit), each chunk a task of the current Dask scheduler; the
    chunks' batches joined in row order."""
    import dask
    import dask.array as da

    y = da.asarray(y)
    if y.ndim != 2:
        raise ValueError(f"y must have shape (k, n), not {y.shape}")
    y = y.rechunk({1: -1})  # a chunk holds whole rows
    rows = y.chunks[0]
    p0 = _per_fit(p0, rows, y.shape[0], "p0")
    sigma = _per_fit(sigma, rows, y.shape[0], "sigma")
    fit_chunk = dask.delayed(_portable_fit_many, pure=True)
    tasks = [fit_chunk(fit_many, model, _block(p0, i), block, sigma=_block(sigma, i), **options)
             for i, block in enumerate(y.to_delayed()[:, 0])]
    return FitBatch.concatenate(dask.compute(*tasks))


def _portable_fit_many(fit_many, model, p0, y, **options):
    """fit_many on one chunk, its batch made to travel back as arrays and
    the model (which has travelled to the task, so it pickles), not as a
    FitResult per row."""
    batch = fit_many(model, p0, y, **options)
    if hasattr(batch.results, "portable"):
        batch.results.portable = True
    return batch


def _per_fit(values, rows, k, name):
    """A Dask array chunked like the rows of y when `values` is given per fit
    (2-D with k rows), else `values` as it is (shared by every fit)."""
    import dask.array as da

    if values is None or np.ndim(values) != 2:
        return np.asarray(values) if isinstance(values, da.Array) else values
    if values.shape[0] != k:
        raise ValueError(f"{name} must have {k} rows, one per fit, not {values.shape[0]}")
    return da.asarray(values).rechunk((rows, -1))


def _block(values, i):
    """Chunk i of a per-fit Dask array, or the shared values."""
    import dask.array as da

    if isinstance(values, da.Array):
        return values.to_delayed()[i, 0]
    return values
