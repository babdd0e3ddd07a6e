"""Kinematics: horizontal derivatives of gridded fields around missing values."""

from typing import Any

import numpy as np
import xarray as xr

import _bluster

from ._apply import Layout, Operand, run
from ._inputs import as_array, as_int, ratio_units, units_of

ArrayLike = Any  # NumPy, masked, xarray, pint or Dask-backed arrays, nested sequences


def _coordinate(field: Any, value: Any, name: str, dim: str) -> Any:
    """The x or y argument, taken from the field's coordinate when left out."""
    if value is not None:
        return value
    if isinstance(field, xr.DataArray) and dim in field.coords:
        return field[dim]
    raise TypeError(
        f"gradient: {name} is None and field has no coordinate {dim!r}; "
        f"expected the coordinate of each point along {dim!r}"
    )


def gradient(
    field: ArrayLike,
    x: ArrayLike | None = None,
    y: ArrayLike | None = None,
    *,
    x_dim: str = "x",
    y_dim: str = "y",
    n_threads: int = 0,
) -> xr.Dataset:
    """Horizontal derivatives df/dx and df/dy of gridded fields, around missing values.

    Centred differences across the two neighbours, one-sided where a neighbour is missing or
    beyond the edge, on coordinates that may be unevenly spaced.

    Parameters
    ----------
    field : array_like, (fields..., y, x)
        The fields, any unit. For DataArrays the grid dims are named by ``y_dim`` and
        ``x_dim``, in either order; for NumPy input they are the last two axes (y, x).
    x : array_like, (x,), optional
        Coordinate of each column, any unit (m, km, degrees); default: the field's ``x_dim``
        coordinate.
    y : array_like, (y,), optional
        Coordinate of each row; default: the field's ``y_dim`` coordinate.
    x_dim, y_dim : str, optional
        Names of the grid dimensions of DataArray inputs. Defaults ``"x"`` and ``"y"``.
    n_threads : int, optional
        Threads of the kernel: 0 (default) one per hardware thread (one per chunk for
        Dask-backed inputs).

    Returns
    -------
    xarray.Dataset
        With the field's dimensions and coordinates (``field``, ``y``, ``x`` for 3-D NumPy
        input): ``df_dx`` and ``df_dy``, in units of the field per unit of the coordinate
        (``units`` given when both are known, e.g. ``K km-1``).

    Notes
    -----
    A point gives NaN when it is missing (NaN, infinite, masked) or neither neighbour along
    the axis is present. Coordinates are used as given: a repeated coordinate gives an IEEE
    infinity. Spacing is not weighted: on uneven grids the centred difference is the plain
    quotient across the two neighbours (unlike ``numpy.gradient``).

    Examples
    --------
    >>> import numpy as np
    >>> import bluster
    >>> f = np.array([[0.0, 2.0, np.nan, 8.0, 9.0]])  # one row of one field
    >>> bluster.gradient(f, x=[0.0, 1.0, 2.0, 3.0, 4.0], y=[0.0]).df_dx.values
    array([[ 2.,  2., nan,  1.,  1.]])
    """
    func = "gradient"
    x = _coordinate(field, x, "x", x_dim)
    y = _coordinate(field, y, "y", y_dim)
    field_units = units_of(field)
    attrs: dict[str, dict[str, Any]] = {}
    for var, coordinate in (("df_dx", x), ("df_dy", y)):
        units = ratio_units(field_units, units_of(coordinate))
        if units is not None:
            attrs[var] = {"units": units}
    layout = Layout(
        func,
        (y_dim, x_dim),
        ("y", "x"),
        "field",
        ("df_dx", "df_dy"),
        keep_core=True,
        dim_keywords=("y_dim", "x_dim"),
    )
    operands = [
        Operand("field", as_array(func, "field", field), (y_dim, x_dim)),
        Operand("x", as_array(func, "x", x), (x_dim,), per_row=False),
        Operand("y", as_array(func, "y", y), (y_dim,), per_row=False),
    ]

    def kernel(field: np.ndarray, x: np.ndarray, y: np.ndarray, n_threads: int) -> np.ndarray:
        return _bluster.gradient(field, x, y, n_threads)

    return run(layout, kernel, operands, as_int(func, "n_threads", n_threads), attrs)
