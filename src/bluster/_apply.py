"""Running a row kernel over arrays of any number of row dimensions, eager or lazy.

Every kernel works on a stack of independent rows: each row reduces its core axes (the
samples of a ring, the levels of a column, the plane of a field) to a few numbers. A call
describes its arguments as operands that span some of the core axes (or none: one value per
row) and leaves the rest to :func:`run`:

- NumPy inputs: the core axes are the last axes; the other axes are row axes, broadcast
  against each other, flattened into the one row axis the kernel takes and restored in the
  result (no per-row Python loop).
- DataArray inputs: matched by dimension name through ``xarray.apply_ufunc``, which carries
  dimensions and coordinates over and keeps Dask-backed inputs lazy (``dask="parallelized"``)
  with the core dimensions merged into one chunk first.

Shapes are checked before the kernel runs, with messages that name the function, the argument,
its shape and the shape expected.
"""

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from typing import Any

import numpy as np
import xarray as xr

from . import _results
from ._inputs import Array, is_lazy


@dataclass(frozen=True)
class Operand:
    """One array argument of a kernel call."""

    name: str
    value: Array
    core: tuple[str, ...] = ()  # the core dimensions it spans, in the kernel's order
    per_row: bool = True  # False: a coordinate vector along its core dimensions only
    hint: str = ""  # what else is accepted, for the shape message


def optional_operand(name: str, value: Array | None, core: tuple[str, ...] = ()) -> Operand | None:
    """An operand for an optional argument; None when it was left out."""
    return None if value is None else Operand(name, value, core)


@dataclass(frozen=True)
class Layout:
    """How a kernel's arrays are laid out."""

    func: str  # public name, for messages and the result's metadata
    core_dims: tuple[str, ...]  # names of the core dimensions (DataArray inputs)
    core_labels: tuple[str, ...]  # what each core axis holds, for messages ("samples")
    row_dim: str  # name of the row dimension of NumPy results ("ring")
    outputs: tuple[str, ...]  # names of the result variables, in the kernel's order
    keep_core: bool = False  # results keep the core axes (True) or reduce them (False)
    dim_keywords: tuple[str, ...] = ("dim",)  # the keyword naming each core dimension


# The kernel's result: one array per output along the first axis (views welcome)
Kernel = Callable[..., np.ndarray]


def run(
    layout: Layout,
    kernel: Kernel,
    operands: Sequence[Operand | None],
    n_threads: int,
    attrs: dict[str, dict[str, Any]] | None = None,
) -> xr.Dataset:
    """The kernel's results over the operands, as a Dataset of labelled variables.

    `kernel(**arrays, n_threads=...)` takes the present operands by name, each C-contiguous
    float64: (rows, samples) for an operand with core axes (several core axes flattened into
    one, unless ``layout.keep_core``), (rows,) for a per-row one, the raw vector for a
    coordinate one; it returns one array per output, each (rows, *core when kept), views
    welcome. `attrs` overrides the metadata of some outputs.
    """
    present = [op for op in operands if op is not None]
    _check_rank(layout, present[0])
    coords = None
    if any(isinstance(op.value, xr.DataArray) for op in present):
        labelled = _labelled(layout, present, kernel, n_threads)
        values = [(r.dims, r.data) for r in labelled]
        coords = labelled[0].coords
    else:
        dims = _numpy_dims(layout, present)
        results = _call_rows(
            *(np.asarray(op.value) for op in present),
            kernel=kernel,
            cores=[(op.name, len(op.core), op.per_row) for op in present],
            flatten=not layout.keep_core,
            n_threads=n_threads,
        )
        values = [(dims, v) for v in results]
    named = dict(zip(layout.outputs, values, strict=True))
    return _results.dataset(layout.func, named, coords, attrs)


def _call_rows(
    *arrays: np.ndarray,
    kernel: Kernel,
    cores: Sequence[tuple[str, int, bool]],
    flatten: bool,
    n_threads: int,
) -> tuple[np.ndarray, ...]:
    """The kernel over arrays whose row axes broadcast against each other (NumPy rules).

    `cores` gives each array's name (the kernel's keyword), number of core axes (the last
    ones) and whether it has row axes.
    """
    row_shapes = {
        a.shape[: a.ndim - n] for a, (_, n, rows) in zip(arrays, cores, strict=True) if rows
    }
    rowshape = row_shapes.pop() if len(row_shapes) == 1 else np.broadcast_shapes(*row_shapes)
    rows = math.prod(rowshape)
    prepared: dict[str, np.ndarray] = {}
    core_shape: tuple[int, ...] = ()
    for a, (name, n, per_row) in zip(arrays, cores, strict=True):
        if not per_row:
            prepared[name] = a.reshape(-1)
            continue
        core = a.shape[a.ndim - n :]
        core_shape = max(core_shape, core, key=len)
        # no copy when the array is C-contiguous and has all the rows already
        whole = a if a.shape == rowshape + core else np.broadcast_to(a, rowshape + core)
        whole = np.ascontiguousarray(whole)
        if n == 0:
            prepared[name] = whole.reshape(rows)
        elif flatten:
            prepared[name] = whole.reshape(rows, math.prod(core))
        else:
            prepared[name] = whole.reshape(rows, *core)
    out_shape = rowshape if flatten else rowshape + core_shape
    return tuple(np.reshape(o, out_shape) for o in kernel(**prepared, n_threads=n_threads))


def _shape_text(labels: Sequence[str], shape: tuple[int, ...]) -> str:
    if len(labels) == 1:
        return f"({labels[0]},) = {shape}"
    return f"({', '.join(labels)}) = {shape}"


def _expected(layout: Layout, op: Operand, rowshape: tuple[int, ...], core: dict[str, int]) -> str:
    core_shape = tuple(core[d] for d in op.core)
    core_labels = [layout.core_labels[layout.core_dims.index(d)] for d in op.core]
    if not op.per_row:
        return _shape_text(core_labels, core_shape)
    row = f"{layout.row_dim}s"
    row_labels = [row] if len(rowshape) == 1 else [f"{row}..."] if rowshape else []
    text = _shape_text(row_labels + core_labels, rowshape + core_shape)
    return f"a scalar or {text}" if not op.core else text


def _shape_error(layout: Layout, op: Operand, given: str, expected: str) -> ValueError:
    hint = f" {op.hint}" if op.hint else ""
    return ValueError(f"{layout.func}: {op.name} has {given}, expected {expected}{hint}")


def _check_rank(layout: Layout, main: Operand) -> None:
    """The first operand, NumPy or DataArray, has at least its core axes."""
    n = len(main.core)
    if main.value.ndim < n:
        labels = ", ".join(layout.core_labels)
        expected = f"{n}-D or more ({layout.row_dim}s..., {labels})"
        raise _shape_error(layout, main, f"shape {main.value.shape}", expected)


def _numpy_dims(layout: Layout, present: list[Operand]) -> tuple[str, ...]:
    """Check the shapes of NumPy operands; the result's dims."""
    main = present[0]
    n = len(main.core)
    split = main.value.ndim - n
    rowshape = main.value.shape[:split]
    core = dict(zip(main.core, main.value.shape[split:], strict=True))
    for op in present[1:]:
        shape = op.value.shape
        want = tuple(core[d] for d in op.core)
        k = len(shape) - len(want)
        fits = k >= 0 and shape[k:] == want and (op.per_row or k == 0)
        if fits and op.per_row:
            try:
                rowshape = np.broadcast_shapes(rowshape, shape[:k])
            except ValueError:
                fits = False
        if not fits:
            raise _shape_error(layout, op, f"shape {shape}", _expected(layout, op, rowshape, core))
    rows = (
        (layout.row_dim,)
        if len(rowshape) == 1
        else (tuple(f"{layout.row_dim}_{i}" for i in range(len(rowshape))))
    )
    return rows + (layout.core_dims if layout.keep_core else ())


def _labelled(
    layout: Layout, present: list[Operand], kernel: Kernel, n_threads: int
) -> list[xr.DataArray]:
    """The kernel through xarray.apply_ufunc: dims matched by name, coords kept, Dask lazy."""
    for op in present:
        _check_known_sizes(layout, op)
    present = [replace(op, value=_whole_core(layout, op, op.value)) for op in present]
    main = next(op.value for op in present if isinstance(op.value, xr.DataArray))
    arrays = [_as_dataarray(layout, op, main) for op in present]
    _check_sizes(layout, present, arrays)
    if n_threads == 0 and any(is_lazy(a) for a in arrays):
        n_threads = 1  # the scheduler runs the chunks in parallel already
    out_core = list(layout.core_dims) if layout.keep_core else []
    results = xr.apply_ufunc(
        _call_rows,
        *arrays,
        kwargs={
            "kernel": kernel,
            "cores": [(op.name, len(op.core), op.per_row) for op in present],
            "flatten": not layout.keep_core,
            "n_threads": n_threads,
        },
        input_core_dims=[list(op.core) for op in present],
        output_core_dims=[out_core] * len(layout.outputs),
        dask="parallelized",
        output_dtypes=[np.float64] * len(layout.outputs),
    )
    if layout.keep_core:  # apply_ufunc puts the core dims last; keep the input's order
        return [r.transpose(*(d for d in main.dims if d in r.dims), ...) for r in results]
    return list(results)


def _as_dataarray(layout: Layout, op: Operand, main: xr.DataArray) -> xr.DataArray:
    """op as a DataArray: NumPy operands take main's dims by shape; dims checked."""
    value = op.value
    if not isinstance(value, xr.DataArray):
        return _numpy_as_dataarray(layout, op, main)
    for d in op.core:
        if d not in value.dims:
            keyword = layout.dim_keywords[layout.core_dims.index(d)]
            label = layout.core_labels[layout.core_dims.index(d)]
            raise ValueError(
                f"{layout.func}: {op.name} has dims {value.dims}, expected a dimension {d!r} "
                f"(the {label}); name the dimension of the {label} with {keyword}="
            )
    if not op.per_row and value.dims != op.core:
        raise _shape_error(layout, op, f"dims {value.dims}", f"dims {op.core}")
    stray = [d for d in layout.core_dims if d in value.dims and d not in op.core]
    if stray:
        raise _shape_error(
            layout,
            op,
            f"dims {value.dims}",
            f"a scalar or one value per {layout.row_dim}, without the dimension {stray[0]!r}",
        )
    return value


def _numpy_as_dataarray(layout: Layout, op: Operand, main: xr.DataArray) -> xr.DataArray:
    """A NumPy operand beside DataArrays: its dims are main's, matched by shape."""
    value = np.asarray(op.value)
    rows = [str(d) for d in main.dims if d not in layout.core_dims]
    if not op.per_row:
        candidates = [list(op.core)]
    elif not op.core:
        if value.ndim == 0:
            return xr.DataArray(value)
        candidates = [rows]
    else:
        candidates = [rows + list(op.core), list(op.core)]
        if set(main.dims) == set(candidates[0]):
            candidates.insert(0, [str(d) for d in main.dims])
    for dims in candidates:
        sizes = [main.sizes.get(d, n) for d, n in zip(dims, value.shape, strict=False)]
        if len(dims) == value.ndim and tuple(sizes) == value.shape:
            return xr.DataArray(value, dims=dims)
    dims = candidates[0]
    expected = f"dims {tuple(dims)} = {tuple(main.sizes.get(d, '?') for d in dims)}"
    if op.per_row and not op.core:
        expected = f"a scalar or {expected}"
    raise _shape_error(layout, op, f"shape {value.shape}", expected)


def _check_sizes(layout: Layout, present: list[Operand], arrays: list[xr.DataArray]) -> None:
    seen: dict[str, tuple[int, str]] = {}
    for op, a in zip(present, arrays, strict=True):
        for d, size in a.sizes.items():
            first = seen.setdefault(str(d), (size, op.name))
            if first[0] != size:
                raise ValueError(
                    f"{layout.func}: {op.name} has {size} along {d!r}, expected {first[0]} "
                    f"as {first[1]} has"
                )


def _check_known_sizes(layout: Layout, op: Operand) -> None:
    """A Dask-backed operand's sizes are known: shapes cannot be checked, nor core
    dimensions merged into one chunk, along a dimension of unknown size."""
    a = op.value
    if not isinstance(a, xr.DataArray) or not is_lazy(a):
        return
    for d, chunks in a.chunksizes.items():
        if any(math.isnan(c) for c in chunks):
            raise ValueError(
                f"{layout.func}: {op.name} has chunks of unknown size along {str(d)!r} (as "
                "boolean indexing of a Dask array leaves them); call compute_chunk_sizes() on "
                "its Dask array first"
            )


def _whole_core(layout: Layout, op: Operand, a: Array) -> Array:
    """A Dask-backed operand with each of its core dimensions in one chunk."""
    if not isinstance(a, xr.DataArray) or not is_lazy(a):
        return a
    return a.chunk({d: -1 for d in op.core if d in a.dims})
