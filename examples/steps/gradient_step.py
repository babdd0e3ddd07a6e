"""Frontal analysis: the strongest temperature gradient of a cold front moving south-east,
on a stretched analysis grid with a few missing points."""

import numpy as np

import bluster

from .check import Check
from .timing import timed

WIDTH = 30.0  # km, half-width of the frontal zone (tanh scale)
CONTRAST = 8.0  # K across the front where it is strongest
ALONG = 300.0  # km, e-folding length of the contrast along the front
BACKGROUND = 0.01  # K/km, large-scale gradient across the front
SPEED = 30.0  # km/h, motion of the front towards the warm side


def stretched(length, n, squeeze=0.3):
    """Coordinates over [0, length], finer by 1 - squeeze in the middle, coarser at the edges."""
    u = np.linspace(0.0, 1.0, n)
    return length * (u - squeeze * np.sin(2.0 * np.pi * u) / (2.0 * np.pi))


def gradient_step(rng, size, n_threads, out, ctx):
    times, ny, nx = (2, 120, 160) if size == "small" else (6, 600, 800)
    x = stretched(1600.0, nx)  # km, east
    y = stretched(1200.0, ny)  # km, north
    normal = np.array([np.cos(np.radians(-30.0)), np.sin(np.radians(-30.0))])  # to warm air
    tangent = np.array([-normal[1], normal[0]])

    # T = 285 K + background + tanh front, its contrast fading along the front away from the
    # front's centre. On the front line the along-front derivative vanishes at the centre,
    # so the strongest gradient lies exactly there: BACKGROUND + CONTRAST / (2 WIDTH).
    centres = [np.array([650.0, 700.0]) + SPEED * hour * normal for hour in range(times)]
    xx, yy = np.meshgrid(x, y)
    temperature = np.empty((times, ny, nx))
    for k, centre in enumerate(centres):
        d = (xx - centre[0]) * normal[0] + (yy - centre[1]) * normal[1]
        s = (xx - centre[0]) * tangent[0] + (yy - centre[1]) * tangent[1]
        contrast = CONTRAST * np.exp(-((s / ALONG) ** 2))
        temperature[k] = 285.0 + BACKGROUND * d + 0.5 * contrast * np.tanh(d / WIDTH)
    missing = rng.random(temperature.shape) < 0.003  # gaps in the analysis
    temperature[missing] = np.nan

    grad = timed(bluster.gradient, temperature, x, y, n_threads=n_threads)
    magnitude = np.hypot(grad.df_dx.values, grad.df_dy.values) * 100.0  # K per 100 km
    truth = (BACKGROUND + CONTRAST / (2.0 * WIDTH)) * 100.0

    # Centred differences over the grid spacing h flatten a tanh front by about (h/WIDTH)^2 / 3,
    # and the nearest grid point lies up to h/2 off the front line: allow (h/WIDTH)^2.
    spacing = max(np.diff(x).max(), np.diff(y).max())
    tolerance = truth * (spacing / WIDTH) ** 2

    out(f"   {times} hourly analyses of {ny} x {nx} points, spacing {spacing:.1f} km at most")
    without = np.isnan(magnitude).sum()
    out(f"   missing points: {missing.sum()}, points without a gradient: {without}")
    out("   hour   max |grad T| (K/100 km)  true     at x, y (km)       true x, y (km)")
    checks = []
    for k, centre in enumerate(centres):
        j, i = np.unravel_index(np.nanargmax(magnitude[k]), magnitude[k].shape)
        out(
            f"   {k:4d}   {magnitude[k, j, i]:20.2f}  {truth:6.2f}"
            f"   {x[i]:7.1f} {y[j]:7.1f}    {centre[0]:7.1f} {centre[1]:7.1f}"
        )
        # The maximum is sharp across the front but flat along it, where grid effects of
        # order (h/WIDTH)^2 move it by a few per cent of ALONG.
        offset = np.array([x[i], y[j]]) - centre
        checks += [
            Check(f"hour {k}: max |grad T| (K/100 km)", magnitude[k, j, i], truth, tolerance),
            Check(f"hour {k}: maximum off the front line (km)", offset @ normal, 0.0, spacing),
            Check(f"hour {k}: maximum along the front (km)", offset @ tangent, 0.0, 0.1 * ALONG),
        ]
    return checks
