"""The figures of a suite (matplotlib's Agg, no display needed).

Every run is one thin grey curve; the median (exp of the mean ln) in black,
median times exp(+-1 ln-standard deviation) dashed.
"""

from __future__ import annotations

import os
import warnings
from typing import List

import numpy as np

from . import _files

GREY = (0.55, 0.55, 0.55)


def _figure(size):
    # A bare Figure draws with Agg and leaves pyplot's backend, and any
    # figures a caller has open, alone.
    from matplotlib.figure import Figure

    fig = Figure(figsize=size)
    return fig, fig.subplots()


def _plain(axis):
    """Label a log axis 0.01, 0.1, 1, 10 rather than as powers of ten, on the
    ticks matplotlib would label (decades; in-between ticks on a short axis)."""
    from matplotlib.ticker import LogFormatter

    class Plain(LogFormatter):
        def __call__(self, x, pos=None):
            if not super().__call__(x, pos):
                return ""
            # Six digits first: a tick at 0.1 * 0.1 is 0.010000000000000002.
            return np.format_float_positional(float(f"{x:.6g}"), trim="-")

    axis.set_major_formatter(Plain())
    axis.set_minor_formatter(Plain())


def _curves(ax, x, curves, label):
    from matplotlib.collections import LineCollection

    flat = curves.reshape(-1, len(x))
    alpha = float(np.clip(30.0 / len(flat), 0.1, 0.6))
    segments = np.stack([np.broadcast_to(x, flat.shape), flat], axis=-1)
    ax.add_collection(LineCollection(segments, colors=[GREY], linewidths=0.5, alpha=alpha,
                                     label=f"{label} ({len(flat)})"))
    with np.errstate(divide="ignore", invalid="ignore"):
        ln = np.log(flat)
        median, sigma = np.exp(ln.mean(axis=0)), ln.std(axis=0, ddof=1 if len(flat) > 1 else 0)
    ax.plot(x, median, color="black", lw=2, label="median")
    ax.plot(x, median * np.exp(sigma), color="black", lw=1.2, ls="--", label="median × e^(±σ)")
    ax.plot(x, median * np.exp(-sigma), color="black", lw=1.2, ls="--")
    ax.set_xscale("log")
    _plain(ax.xaxis)
    ax.set_xlim(x.min(), x.max())
    ax.grid(True, which="both", lw=0.3, alpha=0.5)


def _title(res, what):
    return (f"{what}: {len(res.records)} records × {res.realizations} realizations "
            f"({res.variation.site_class}, seed {res.seed})")


def amplification(res, path):
    fig, ax = _figure((8, 5.2))
    _curves(ax, res.periods, res.ratio, "runs")
    ax.axhline(1.0, color="tab:red", lw=0.8)
    top = np.nanpercentile(res.ratio, 99.5)
    ax.set_ylim(0, max(1.5, 1.1 * top))
    ax.set_xlabel("Period (s)")
    ax.set_ylabel(f"PSA surface / PSA input ({res.damping:.0%} damping)")
    ax.set_title(_title(res, "Spectral amplification"), fontsize=10)
    ax.legend(loc="upper right", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110, format="png")
    return fig


def spectra(res, path):
    fig, ax = _figure((8, 5.2))
    _curves(ax, res.periods, res.psa, "surface, runs")
    with np.errstate(divide="ignore"):
        inputs = np.exp(np.log(res.input_psa).mean(axis=0))
    ax.plot(res.periods, inputs, color="tab:blue", lw=1.8, label="input records, median")
    ax.set_yscale("log")
    _plain(ax.yaxis)
    ax.set_xlabel("Period (s)")
    ax.set_ylabel(f"PSA ({res.unit}, {res.damping:.0%} damping)")
    ax.set_title(_title(res, "Surface response spectra"), fontsize=10)
    ax.legend(loc="lower left", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110, format="png")
    return fig


def transfer(res, path):
    fig, ax = _figure((8, 5.2))
    # One curve per realization: the transfer function is the profile's.
    _curves(ax, res.frequencies, res.transfer[0], "realizations")
    ax.set_ylim(0, 1.1 * np.nanpercentile(res.transfer[0], 99.5))
    ax.set_xlabel("Frequency (Hz)")
    ax.set_ylabel("|transfer function|")
    ax.set_title(f"Transfer function: {res.realizations} realizations "
                 f"({res.variation.site_class}, seed {res.seed})", fontsize=10)
    ax.legend(loc="upper left", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110, format="png")
    return fig


def profiles(res, path):
    from matplotlib.collections import LineCollection

    fig, ax = _figure((6, 7))
    bottom = res.depths[-1] + (res.depths[1] - res.depths[0]) / 2 if len(res.depths) > 1 else 1.0

    def steps(p):
        tops = np.concatenate([[0.0], np.cumsum(p["thickness"][:-1], dtype=float)])
        z = np.repeat(np.append(tops, max(bottom, tops[-1])), 2)[1:-1]
        return np.stack([np.repeat(np.asarray(p["vs"], dtype=float), 2), z], axis=-1)

    lines = [steps(p) for p in res.profiles]
    alpha = float(np.clip(30.0 / len(lines), 0.1, 0.6))
    ax.add_collection(LineCollection(lines, colors=[GREY], linewidths=0.5, alpha=alpha,
                                     label=f"realizations ({len(lines)})"))
    vs = res.at_depths("vs")
    d = res.depths
    ax.plot(np.median(vs, axis=0), d, color="black", lw=2, label="median")
    for (lo, hi), style in (((16, 84), "--"), ((5, 95), ":")):
        band = np.percentile(vs, [lo, hi], axis=0)
        ax.plot(band[0], d, color="black", lw=1.2, ls=style, label=f"{lo}th and {hi}th percentiles")
        ax.plot(band[1], d, color="black", lw=1.2, ls=style)
    base = steps(res.base)
    ax.plot(base[:, 0], base[:, 1], color="tab:red", lw=1.2, label="base profile")
    ax.set_ylim(bottom, 0)
    ax.set_xlim(0, 1.05 * np.percentile(vs, 99))
    unit = res.variation.length_unit
    unit = unit if isinstance(unit, str) else "length unit"
    ax.set_xlabel(f"VS ({unit}/s)")
    ax.set_ylabel(f"Depth ({unit})")
    ax.set_title(f"VS profiles: {res.realizations} realizations\n"
                 f"({res.variation.site_class}, seed {res.seed})", fontsize=10)
    ax.grid(True, lw=0.3, alpha=0.5)
    ax.legend(loc="lower left", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110, format="png")
    return fig


def write_all(res, folder) -> List[str]:
    paths = []
    for name, draw in (("amplification", amplification), ("spectra", spectra),
                       ("transfer", transfer), ("profiles", profiles)):
        path = os.path.join(os.fspath(folder), f"{name}.png")
        with _files.whole(path) as temp:
            draw(res, temp)
        paths.append(path)
    return paths


def strains(res, path):
    """Peak shear strain against depth: every run, the median and e^(+-sigma)."""
    fig, ax = _figure((6, 7))
    flat = res.strain.reshape(-1, len(res.depths))
    d = res.depths
    for row in flat[:: max(1, len(flat) // 300)]:
        ax.plot(row, d, color=GREY, lw=0.5, alpha=0.3)
    with np.errstate(divide="ignore", invalid="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # depths below every column
        ln = np.log(flat)
        median, sigma = np.exp(np.nanmean(ln, axis=0)), np.nanstd(ln, axis=0)
    ax.plot(median, d, color="black", lw=2, label="median")
    ax.plot(median * np.exp(sigma), d, color="black", lw=1.2, ls="--", label="median × e^(±σ)")
    ax.plot(median * np.exp(-sigma), d, color="black", lw=1.2, ls="--")
    ax.set_xscale("log")
    ax.set_ylim(d[-1], 0)
    lu = res.column.length_unit
    ax.set_xlabel("Peak shear strain (%)")
    ax.set_ylabel(f"Depth ({lu})")
    ax.set_title(_title(res, f"Peak strains ({res.method})"), fontsize=10)
    ax.grid(True, which="both", lw=0.3, alpha=0.5)
    ax.legend(loc="lower left", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110, format="png")
    return fig


def write_column(res, folder) -> List[str]:
    """The figures of a column suite: spectra, amplification, Vs and strain profiles."""
    paths = []
    for name, draw in (("amplification", amplification), ("spectra", spectra),
                       ("profiles", profiles), ("strains", strains)):
        path = os.path.join(os.fspath(folder), f"{name}.png")
        with _files.whole(path) as temp:
            draw(res, temp)
        paths.append(path)
    return paths
