# korvo-suite: a suite of records through randomized profiles, described in a
# TOML file, with a progress bar and a summary; tables and figures to a folder.
# pip installs it as the command korvo-suite (main); CMake's korvo-suite is a
# launcher that finds this package and calls main. The docstring is the usage.
"""usage: korvo-suite [options] SUITE.toml

Runs every record of SUITE.toml through every realization of its randomized
profile (korvo.suite) and writes the tables and figures. Paths in the file are
relative to the file's folder.

options:
  -o DIR, --output DIR   folder for the tables and figures (default: the file's
                         `output`, else SUITE-results beside it)
  --scheduler ADDRESS    run on this Dask scheduler (tcp://host:8786) instead of
                         the file's [cluster] scheduler or a local thread pool
  --workers N            threads of the local pool (default: the file's, else
                         the machine's cores)
  --realizations N       override the file's realizations
  --seed N               override the file's seed
  --unit U               unit of records that state none: g (default), cm/s^2,
                         m/s^2 (the file's [run] unit)
  --scale F              multiply every record by F (the file's [run] scale)
  --scale-pga A          scale each record to the peak A, in the records' unit
                         or named: 0.3g (the file's [run] scale_pga, also a list:
                         one peak per record)
  --no-figures           tables only
  -q, --quiet            no progress bar
  -h, --help             this text

Exit status: 0 done, 1 bad input or a failed run, 2 wrong command line
"""

import argparse
import glob
import math
import os
import re
import signal
import sys
import time
import warnings

PROGRAM = "korvo-suite"


class Refusal(Exception):
    """Bad input: one line, exit status 1."""


class Usage(argparse.ArgumentParser):
    def error(self, message):
        sys.stderr.write(f"{PROGRAM}: {message}\n{PROGRAM}: see {PROGRAM} --help\n")
        sys.exit(2)

    def format_help(self):
        return __doc__


# Keys and their types: a wrong name or type is refused before any run.
TOP = {"records": list, "profile": str, "realizations": int, "seed": int, "output": str,
       "method": str, "curves": dict, "run": dict, "spectra": dict, "transfer": dict, "variation": dict, "cluster": dict,
       "motions": dict, "rvt": dict}
SECTIONS = {
    "run": {"wave": str, "reference": int, "band_pass": list, "band_pass_hz": list,
            "unit": str, "scale": float, "scale_pga": (str, float, list), "strain_ratio": float,
            "tol": float, "max_iter": int, "input": str, "model": str, "fmax": float,
            "substeps": int, "max_element": float, "unloading": str, "viscous": str},
    "curves": {"variation": str, "correlation": float, "truncation": float},
    "rvt": {"peak_factor": str, "oscillator_duration": bool, "bt_coefficients": list},
    "spectra": {"periods": (list, dict), "damping": float},
    "transfer": {"frequencies": (list, dict)},
    "variation": {"site_class": str, "length_unit": (str, float), "layering": bool,
                  "depth_ln_std": float, "halfspace": bool, "density_ln_std": float,
                  "damping_ln_std": float, "ln_std": float, "rho_0": float, "delta": float,
                  "rho_200": float, "h_0": float, "b": float},
    "cluster": {"scheduler": str, "workers": int},
}


def checked(name, table, schema, where):
    for key, value in table.items():
        if key not in schema:
            raise Refusal(f"{name}: unknown key {key!r} {where}")
        kind = schema[key]
        kinds = kind if isinstance(kind, tuple) else (kind,)
        # TOML integers serve where numbers are wanted; booleans never do.
        ok = any(isinstance(value, k) and not (isinstance(value, bool) and k is not bool)
                 for k in kinds) or (float in kinds and isinstance(value, int)
                                     and not isinstance(value, bool))
        if not ok:
            want = " or ".join({"str": "a string", "int": "a whole number", "float": "a number",
                                "bool": "true or false", "list": "an array",
                                "dict": "a table"}[k.__name__] for k in kinds)
            raise Refusal(f"{name}: {key} {where} must be {want}, not {value!r}")
    return table


def grid(name, key, value):
    """An array of numbers, or {first, last, count} log-spaced."""
    import numpy as np

    if isinstance(value, dict):
        checked(name, value, {"first": float, "last": float, "count": int}, f"in {key}")
        # TOML integers may be any size here; as floats they must stay finite.
        first, last = (float(value.get(k, math.nan)) if abs(value.get(k, 0)) < 1e300
                       else math.inf for k in ("first", "last"))
        if set(value) != {"first", "last", "count"} or not 1 <= value["count"] <= 100000 \
                or not 0 < first <= last < math.inf:
            raise Refusal(f"{name}: {key} = {{first, last, count}} with 0 < first <= last "
                          "and count from 1 to 100000")
        return np.geomspace(first, last, value["count"])
    if not value or not all(isinstance(v, (int, float)) and not isinstance(v, bool)
                            and abs(v) < 1e300 for v in value):
        raise Refusal(f"{name}: {key} must be numbers")
    return np.array(value, dtype=float)


def load(path):
    import tomllib

    name = os.fspath(path)
    try:
        with open(path, "rb") as f:
            text = f.read()
    except OSError as e:
        raise Refusal(f"cannot open {name}: {e.strerror}") from None
    try:
        settings = tomllib.loads(text.decode("utf-8"))
    except tomllib.TOMLDecodeError as e:
        # "<what> (at line 3, column 5)" in korvo's form: "<file>, line 3: <what> (column 5)".
        where = re.search(r" \(at line (\d+), column (\d+)\)$", str(e))
        if where:
            what = str(e)[:where.start()]
            raise Refusal(f"{name}, line {where.group(1)}: {what} (column {where.group(2)})") \
                from None
        raise Refusal(f"{name}: {e}") from None
    except UnicodeDecodeError as e:
        raise Refusal(f"{name}: not UTF-8 text ({e.reason} at byte {e.start})") from None
    checked(name, settings, TOP, "at the top level")
    for section, schema in SECTIONS.items():
        checked(name, settings.get(section, {}), schema, f"in [{section}]")
    if "profile" not in settings:
        raise Refusal(f"{name}: profile is missing")
    # Records, or RVT scenarios in their place: one of the two.
    if ("records" in settings) == ("motions" in settings):
        raise Refusal(f"{name}: give records or [motions], one of the two")
    if "rvt" in settings and "motions" not in settings:
        raise Refusal(f"{name}: [rvt] is for [motions]")
    return settings


def resolve(folder, name, pattern):
    """A path relative to the suite file; a glob pattern must match."""
    full = pattern if os.path.isabs(pattern) else os.path.join(folder, pattern)
    if any(c in pattern for c in "*?["):
        found = sorted(glob.glob(full))
        if not found:
            raise Refusal(f"{name}: records: nothing matches {pattern!r}")
        return found
    return [full]


class Bar:
    """runs done / total, rate and time left, on one line of the terminal;
    a line every tenth of the way when standard error is not a terminal."""

    def __init__(self, quiet):
        self.quiet = quiet
        self.tty = sys.stderr.isatty()
        self.began = time.perf_counter()
        self.shown = -1.0
        self.tenth = 0
        self.width = 0
        self.lost = 0  # Dask workers lost so far, counted by the warning hook

    def __call__(self, done, total):
        if self.quiet:
            return
        now = time.perf_counter()
        last = done == total
        if self.tty and not last and now - self.shown < 0.1:
            return
        if not self.tty and not last and done * 10 // total <= self.tenth:
            return
        self.tenth = done * 10 // total
        self.shown = now
        elapsed = now - self.began
        rate = done / elapsed if elapsed > 0 else 0.0
        left = (total - done) / rate if rate > 0 else math.inf
        width = 30
        filled = width * done // total
        line = (f"{PROGRAM}: [{'#' * filled}{'-' * (width - filled)}] {done}/{total} runs  "
                f"{rate:6.1f} runs/s  {'--' if math.isinf(left) else f'{left:.0f} s'} left"
                + (f"  ({self.lost} worker{'s' if self.lost > 1 else ''} lost)" if self.lost else ""))
        if self.tty:
            # Blanks over what a longer line before left behind.
            self.width = max(self.width, len(line))
            sys.stderr.write("\r" + line.ljust(self.width) + ("\n" if last else ""))
        else:
            sys.stderr.write(line + "\n")
        sys.stderr.flush()


def summary(res, folder, paths):
    import numpy as np

    R = len(res.records)
    method = f"{res.method}, " if hasattr(res, "method") else ""
    curves = "Darendeli curves, " if getattr(res, "curves", None) is not None else ""
    print(f"{PROGRAM}: {res.runs} runs ({R} records x {res.realizations} realizations, "
          f"{method}{res.variation.site_class}, {curves}seed {res.seed}) in {res.elapsed:.1f} s, "
          f"{res.runs / res.elapsed:.1f} runs/s")
    width = max(12, *(len(n) for n in res.records))
    print(f"  {'record':<{width}}  {'input PGA':>10}  {'surface PGA':>11}  {'ln-std':>6}  "
          f"{'peak median ratio':>17}")

    def row(label, pga_in, pga, ratio):
        with np.errstate(divide="ignore", invalid="ignore"):
            median = np.exp(np.log(pga).mean())
            sigma = np.log(pga).std(ddof=1) if pga.size > 1 else 0.0
            curve = np.exp(np.log(ratio).mean(axis=0))
        i = int(np.nanargmax(curve))
        peak = f"{curve[i]:.3g} at {res.periods[i]:.3g} s"
        inp = f"{pga_in:10.4g}" if pga_in is not None else " " * 10
        print(f"  {label:<{width}}  {inp}  {median:11.4g}  {sigma:6.3f}  {peak:>17}")

    for r, name in enumerate(res.records):
        row(name, res.input_pga[r], res.pga[r], res.ratio[r])
    row("suite", None, res.pga.ravel(), res.ratio.reshape(-1, len(res.periods)))
    shown = os.path.relpath(folder)
    shown = folder if shown.startswith("..") else shown
    print(f"  files in {shown}: {' '.join(os.path.basename(p) for p in paths)}")


def suite(argv, version):
    parser = Usage(prog=PROGRAM, add_help=True)
    parser.add_argument("suite")
    parser.add_argument("-o", "--output")
    parser.add_argument("--scheduler")
    parser.add_argument("--workers", type=int)
    parser.add_argument("--realizations", type=int)
    parser.add_argument("--seed", type=int)
    parser.add_argument("--unit")
    parser.add_argument("--scale", type=float)
    parser.add_argument("--scale-pga")
    parser.add_argument("--no-figures", action="store_true")
    parser.add_argument("-q", "--quiet", action="store_true")
    parser.add_argument("--version", action="version", version=f"{PROGRAM} {version}")
    args = parser.parse_args(argv)
    if args.workers is not None and args.workers < 1:
        parser.error("--workers must be at least 1")
    if args.realizations is not None and args.realizations < 1:
        parser.error("--realizations must be at least 1")
    if args.seed is not None and args.seed < 0:
        parser.error("--seed must not be negative")

    import korvo

    name = args.suite
    settings = load(name)
    folder = os.path.dirname(os.path.abspath(name))
    records = []
    for item in settings.get("records", []):
        if not isinstance(item, str):
            raise Refusal(f"{name}: records must be file names, not {item!r}")
        records += resolve(folder, name, item)
    if "records" in settings and not records:
        raise Refusal(f"{name}: records is empty")
    # [motions.NAME]: a point source each, with korvo.rvt.PointSource's keywords.
    motions = {}
    for label, table in settings.get("motions", {}).items():
        if not isinstance(table, dict):
            raise Refusal(f"{name}: motions.{label} must be a table of a point source's keys")
        try:
            motions[label] = korvo.rvt.PointSource(**table)
        except TypeError as e:
            raise Refusal(f"{name}: [motions.{label}] {e}") from None
        except korvo.KorvoError as e:
            raise Refusal(f"{name}: [motions.{label}] {e}") from None
    if "motions" in settings and not motions:
        raise Refusal(f"{name}: [motions] is empty")
    profile = resolve(folder, name, settings["profile"])[0]
    out = args.output or (os.path.join(folder, settings["output"]) if "output" in settings
                          else os.path.splitext(os.path.abspath(name))[0] + "-results")
    run_opts = settings.get("run", {})
    spectra = settings.get("spectra", {})
    cluster = settings.get("cluster", {})
    try:
        variation = korvo.Toro(**settings.get("variation", {}))
    except korvo.KorvoError as e:
        raise Refusal(f"{name}: [variation] {e}") from None
    curves = dict(settings.get("curves", {}))
    if curves:
        if curves.pop("variation", None) != "darendeli":
            raise Refusal(f"{name}: [curves] variation = \"darendeli\" is the curves' model")
        try:
            curves = korvo.CurveVariation(**curves)
        except korvo.KorvoError as e:
            raise Refusal(f"{name}: [curves] {e}") from None
    column = {k: run_opts[k] for k in ("strain_ratio", "tol", "max_iter", "input", "model",
                                        "fmax", "substeps", "max_element", "unloading",
                                        "viscous")
              if k in run_opts}
    if "method" in settings:
        column["method"] = settings["method"]
    if curves:
        column["curves"] = curves
    kwargs = dict(
        realizations=args.realizations or settings.get("realizations", 100),
        seed=args.seed if args.seed is not None else settings.get("seed"),
        variation=variation,
        **{k: run_opts[k] for k in ("wave", "reference", "band_pass", "band_pass_hz")
           if k in run_opts},
        **column,
        unit=args.unit or run_opts.get("unit"),
        scale=args.scale if args.scale is not None else run_opts.get("scale", 1.0),
        scale_pga=args.scale_pga if args.scale_pga is not None else run_opts.get("scale_pga"),
        damping=spectra.get("damping", 0.05),
        workers=args.workers or cluster.get("workers"),
    )
    if "periods" in spectra:
        kwargs["periods"] = grid(name, "periods", spectra["periods"])
    if "frequencies" in settings.get("transfer", {}):
        kwargs["frequencies"] = grid(name, "frequencies", settings["transfer"]["frequencies"])

    if motions:
        kwargs.update(settings.get("rvt", {}))
    loaded = motions or [korvo.read_record(path) for path in records]

    scheduler = args.scheduler or cluster.get("scheduler")
    client = None
    if scheduler:
        try:
            from distributed import Client
        except ImportError:
            raise Refusal("a scheduler needs dask.distributed (python3-distributed)") from None
        try:
            client = Client(scheduler, timeout="20s")
        except (OSError, TimeoutError) as e:
            raise Refusal(f"cannot reach the scheduler {scheduler}: {e}") from None
    try:
        bar = Bar(args.quiet)
        said = warnings.showwarning

        def counted(message, *rest, **kw):
            # A lost worker also shows in the bar, which its line would pass unseen.
            if str(message).startswith("lost the Dask worker"):
                bar.lost += 1
            said(message, *rest, **kw)

        warnings.showwarning = counted
        try:
            res = korvo.suite(loaded, profile, client=client, progress=bar, **kwargs)
        finally:
            warnings.showwarning = said
    finally:
        if client is not None:
            client.close()
    paths = res.write(out, figures=not args.no_figures)
    summary(res, out, paths)
    return 0


def interrupted(signum, frame):
    """The first SIGINT or SIGTERM unwinds (each result file is whole or not
    there); a second one ends the process at once."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    raise KeyboardInterrupt


def main(argv=None, version=None):
    """korvo-suite's whole command: the exit status, a refusal as one line on
    standard error. pip's korvo-suite calls it bare; the launcher CMake
    installs passes the version it was configured with."""
    import korvo

    signal.signal(signal.SIGINT, interrupted)
    signal.signal(signal.SIGTERM, interrupted)
    # A warning is one line, as the other commands print theirs.
    warnings.showwarning = lambda message, *rest, **kw: sys.stderr.write(
        f"{PROGRAM}: warning: {message}\n")
    try:
        return suite(sys.argv[1:] if argv is None else argv, version or korvo.__version__)
    except Refusal as e:
        sys.stderr.write(f"{PROGRAM}: {e}\n")
        return 1
    except ValueError as e:  # korvo.KorvoError among them
        sys.stderr.write(f"{PROGRAM}: {e}\n")
        return 1
    except OSError as e:
        sys.stderr.write(f"{PROGRAM}: {e.filename or ''}: {e.strerror or e}\n")
        return 1
    except KeyboardInterrupt:
        sys.stderr.write(f"{PROGRAM}: interrupted\n")
        return 130
