"""The storm day's figure: hodograph, cold-pool intensity field and ZDR-offset distribution."""

import numpy as np


def storm_day_figure(ctx, path):
    """Draws what the steps left in ctx into one PNG; needs matplotlib."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (hodo, pool, zdr) = plt.subplots(1, 3, figsize=(16, 5), layout="constrained")

    vad = ctx["vad"]
    order = np.argsort(vad["height"])
    low = order[vad["height"][order] <= 9000.0]
    hodo.plot(vad["u_true"][low], vad["v_true"][low], "k-", lw=2, label="true wind")
    sc = hodo.scatter(vad["u"][low], vad["v"][low], c=vad["height"][low] / 1000.0, s=8,
                      cmap="viridis", label="VAD retrieval")  # fmt: skip
    fig.colorbar(sc, ax=hodo, label="height (km)")
    hodo.set(xlabel="u (m/s)", ylabel="v (m/s)", title="Hodograph: VAD against truth")
    hodo.set_aspect("equal")
    hodo.grid(alpha=0.3)
    hodo.legend(loc="lower right")

    field = ctx["cold_pool"]["intensity"]
    im = pool.imshow(field, origin="lower", cmap="Blues")
    fig.colorbar(im, ax=pool, label="C (m/s)")
    pool.contour(field, levels=[8, 12, 16], colors="k", linewidths=0.6)
    pool.set(title="Cold-pool intensity", xlabel="x (grid points)", ylabel="y (grid points)")

    off = ctx["offset"]
    zdr.hist(off["diffs"], bins=120, range=(-0.8, 1.5), color="0.6", density=True,
             label="measured - expected ZDR")  # fmt: skip
    zdr.axvline(off["truth"], color="k", lw=2, label=f"true offset {off['truth']:+.2f} dB")
    for mean in off["res"][:, 1]:
        zdr.axvline(mean, color="tab:red", lw=0.8, alpha=0.7)
    zdr.plot([], [], color="tab:red", lw=0.8, label="offset_stats mean, per elevation")
    zdr.set(xlabel="ZDR difference (dB)", ylabel="density", title="ZDR offset in light rain")
    zdr.legend(loc="upper right", fontsize=8)

    fig.savefig(path, dpi=110)
    plt.close(fig)
