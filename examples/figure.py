"""The storm day's figure: hodograph, cold-pool intensity field and ZDR-offset distribution."""

import numpy as np

from steps.vad_step import true_wind

HODOGRAPH_MARKS_KM = (1.0, 3.0, 6.0)


def storm_day_figure(ctx, path):
    """Draws what the steps left in ctx into one PNG; needs matplotlib."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 2, figsize=(13, 10.5), layout="constrained")
    fig.suptitle(
        "Synthetic storm day: data generated from known truths, recovered by the kernels\n"
        "Black lines and dots mark the truths; the black contours label the recovered "
        "cold-pool intensity"
    )
    hodograph(fig, axes[0, 0], ctx["vad"])
    cold_pool_field(fig, axes[0, 1], ctx["cold_pool"])
    zdr_differences(axes[1, 0], ctx["offset"])
    offset_per_elevation(axes[1, 1], ctx["offset"])
    fig.savefig(path, dpi=100)
    plt.close(fig)


def hodograph(fig, ax, vad):
    order = np.argsort(vad["height"])
    low = order[vad["height"][order] <= 9000.0]
    truth = true_wind(np.linspace(0.0, 9000.0, 181))
    ax.plot(*truth, "k-", lw=1.2, zorder=3, label="true wind, 0-9 km")
    sc = ax.scatter(vad["u"][low], vad["v"][low], c=vad["height"][low] / 1000.0, s=8,
                    cmap="viridis", zorder=2, label="VAD retrieval")  # fmt: skip
    fig.colorbar(sc, ax=ax, label="height above the radar (km)", shrink=0.7)
    cu, cv = vad["storm_motion"]
    ax.plot(cu, cv, "r*", ms=14, label="storm motion (right mover)")
    marks_u, marks_v = true_wind(np.array(HODOGRAPH_MARKS_KM) * 1000.0)
    ax.plot(marks_u, marks_v, "ko", ms=6, zorder=4)
    for km, u, v in zip(HODOGRAPH_MARKS_KM, marks_u, marks_v, strict=True):
        # Labels go towards the storm motion, inside the curve, clear of the winds.
        towards = np.array([cu - u, cv - v]) / np.hypot(cu - u, cv - v)
        ax.annotate(f"{km:g} km", (u, v), xytext=22 * towards, textcoords="offset points",
                    ha="center", va="center")  # fmt: skip
    ax.axhline(0.0, color="0.7", lw=0.8)
    ax.axvline(0.0, color="0.7", lw=0.8)
    ax.set(xlabel="u (m/s)", ylabel="v (m/s)", title="Hodograph: VAD winds against the truth")
    ax.set_aspect("equal")
    ax.set_ylim(-8.0, 16.0)  # room below the hodograph for the legend
    ax.grid(alpha=0.3)
    ax.legend(loc="lower left", fontsize=8)


def cold_pool_field(fig, ax, pool):
    field, extent = pool["intensity"], pool["extent_km"]
    im = ax.imshow(field, origin="lower", cmap="Blues", extent=extent, aspect="equal")
    fig.colorbar(im, ax=ax, label="cold-pool intensity C (m/s)")
    ny, nx = field.shape
    x = np.linspace(extent[0], extent[1], nx)
    y = np.linspace(extent[2], extent[3], ny)
    contours = ax.contour(x, y, field, levels=[8, 12, 16, 20], colors="k", linewidths=0.7)
    ax.clabel(contours, fmt="%g m/s", fontsize=8)
    ax.set(title="Cold-pool intensity from soundings", xlabel="x (km)", ylabel="y (km)")


def zdr_differences(ax, off):
    ax.hist(off["diffs"], bins=120, range=(-0.8, 1.5), color="0.6", density=True,
            label="measured - expected ZDR,\nlight-rain samples used")  # fmt: skip
    ax.axvline(off["truth"], color="k", lw=2, label=f"true offset {off['truth']:+.2f} dB")
    ax.set(xlabel="ZDR difference (dB)", ylabel="density", title="ZDR offset in light rain")
    ax.legend(loc="upper right", fontsize=8)


def offset_per_elevation(ax, off):
    stats, elevations = off["stats"], off["elevations"]
    standard_error = stats["std"].values / np.sqrt(stats["count"].values)
    ax.axhline(off["truth"], color="k", lw=2, label=f"true offset {off['truth']:+.3f} dB")
    ax.errorbar(elevations, stats["offset"].values, yerr=standard_error, fmt="o",
                color="tab:red", capsize=3, label="offset_stats mean ± standard error")  # fmt: skip
    ax.plot(elevations, stats["median"].values, "s", mfc="none", color="tab:blue",
            label="offset_stats median")  # fmt: skip
    ax.set(xlabel="elevation (degrees)", ylabel="ZDR offset (dB)",
           title="Recovered ZDR offset, per elevation")  # fmt: skip
    ax.grid(alpha=0.3)
    ax.legend(loc="best", fontsize=8)
