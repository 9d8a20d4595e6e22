"""Runs side by side in threads: the same bits as one after the other, also
beside runs that fault (the fault flags belong to each thread)."""

import concurrent.futures
import random

import numpy as np

import korvo
from conftest import GOLDEN, answers_as_arguments, golden_cases, large_case


def jobs():
    out = []
    for case in golden_cases():
        src = GOLDEN / case
        out.append((case, korvo.read_record(src / "accel.dat"), korvo.Profile.read(src / "soil.dat"),
                    answers_as_arguments((src / "answers").read_text())))
    record, profile = large_case()
    out.append(("large", record, profile, {"wave": "horizontal"}))
    out.append(("large vertical", record, profile, {"wave": "vertical", "conditioning": "integrate",
                                                    "band_pass": (1, 3, 150, 250)}))
    # DT a subnormal 1e-40 s: the frequency grid's 2 pi / (NF DT) overflows.
    out.append(("fault", korvo.Record([0.0, 1e-40, 2e-40], [1.0, 2.0, 3.0]), profile, {}))
    return out


def outcome(job, folder=None):
    name, record, profile, keywords = job
    try:
        r = korvo.run(record, profile, **keywords)
    except korvo.KorvoError as e:
        return str(e)
    if folder is not None:
        folder.mkdir()
        files = r.write(folder)
        return tuple(open(f, "rb").read() for f in files)
    return tuple(np.ascontiguousarray(a).tobytes() for a in (r.transfer, r.spectrum, r.motion))


def test_threads_give_the_sequential_bits(tmp_path):
    work = jobs()
    alone = {job[0]: outcome(job) for job in work}
    assert alone["fault"].startswith("floating-point fault (overflow) in the frequency grid")
    together = work * 4
    random.Random(7).shuffle(together)
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        results = list(pool.map(outcome, together))
    for job, result in zip(together, results):
        assert result == alone[job[0]], job[0]


def test_a_run_kept_on_one_thread_gives_the_shared_bits():
    # Large enough that a run shares its lines among the cores by default.
    for job in [j for j in jobs() if j[0].startswith("large")]:
        name, record, profile, keywords = job
        assert outcome((name, record, profile, {**keywords, "threads": False})) == outcome(job), name


def test_files_written_in_threads_are_the_console_files(tmp_path):
    work = [job for job in jobs() if job[0] in golden_cases()] * 2
    folders = [tmp_path / str(i) for i in range(len(work))]
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        results = list(pool.map(outcome, work, folders))
    for (case, *_), files in zip(work, results):
        expected = tuple((GOLDEN / case / "expected" / f).read_bytes()
                         for f in ("S_amp1", "amp_dat", "korvo_dat"))
        assert files == expected, case
