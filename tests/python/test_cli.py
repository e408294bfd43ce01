"""The command line reproduces the front ends' numbers, runs without any frame library, and
ends every bad input with exit status 2 and one line naming the problem."""

import csv
import os
import subprocess
import sys

import pandas as pd
import pytest

import tessarix
from test_frontends import PROP99, sales_panel

PROP99_ARGS = ["--unit", "State", "--time", "Year", "--outcome", "PacksPerCapita"]
# Runs the command with pandas, polars, pyarrow and matplotlib unimportable: what `pip install .`
# alone provides.
BARE = ("import sys\n"
        "for m in ('pandas', 'polars', 'pyarrow', 'matplotlib'): sys.modules[m] = None\n"
        "from tessarix.cli.main import main\n"
        "sys.exit(main(sys.argv[1:]))\n")


def run(args, bare=False):
    cmd = [sys.executable, "-c", BARE] if bare else [sys.executable, "-m", "tessarix.cli.main"]
    return subprocess.run(cmd + [str(a) for a in args], capture_output=True, text=True, cwd="/")


def estimates(out_dir):
    with open(os.path.join(out_dir, "estimates.csv"), newline="") as f:
        return {r["term"]: r for r in csv.DictReader(f)}


def test_synth_from_csv_gives_the_front_end_numbers_with_and_without_frame_libraries(tmp_path):
    df = pd.read_csv(PROP99, sep=";")
    expected = tessarix.synth(df, unit="State", time="Year", outcome="PacksPerCapita", treated="California",
                              start=1989, method="sdid", inference="placebo")
    for bare in (False, True):
        out = tmp_path / f"bare{bare}"
        done = run(["synth", PROP99, *PROP99_ARGS, "--treated", "California", "--start", 1989, "--method", "sdid",
                    "--inference", "placebo", "--out", out], bare=bare)
        assert done.returncode == 0, done.stderr
        assert done.stdout.startswith("Synthetic difference-in-differences (sdid)")
        row = estimates(out)["ATT"]
        assert float(row["estimate"]) == expected.att and float(row["p_value"]) == expected.p_value
        paths = pd.read_csv(out / "paths.csv")
        assert paths["synthetic"].tolist() == expected.paths["synthetic"].tolist()
        assert (out / "paths.png").exists() != bare  # pictures only where matplotlib is


def test_did_bacon_and_geo_commands_reproduce_the_front_ends(tmp_path):
    import moderndid

    mp = moderndid.load_mpdta()
    mp = mp.to_pandas() if hasattr(mp, "to_pandas") else mp
    mp_csv = tmp_path / "mpdta.csv"
    mp.to_csv(mp_csv, index=False)
    cols = ["--unit", "countyreal", "--time", "year", "--outcome", "lemp", "--cohort", "first.treat"]
    done = run(["did", mp_csv, *cols, "--covariates", "lpop", "--option", "control=notyet", "--out", tmp_path / "cs"])
    assert done.returncode == 0, done.stderr
    cs = tessarix.did(mp, unit="countyreal", time="year", outcome="lemp", cohort="first.treat", covariates=["lpop"],
                      control="notyet")
    assert float(estimates(tmp_path / "cs")["ATT"]["estimate"]) == cs.att
    assert run(["bacon", mp_csv, *cols]).stdout.splitlines()[2].startswith(
        f"TWFE estimate {tessarix.bacon(mp, unit='countyreal', time='year', outcome='lemp', cohort='first.treat').twfe:.6g}")

    sales, _ = sales_panel()
    sales_file = tmp_path / "sales.parquet"
    sales.to_parquet(sales_file)
    geo = ["--unit", "market", "--time", "week", "--outcome", "sales"]
    done = run(["power", sales_file, *geo, "--treated", "m03", "--treated", "m07", "--test-len", 6,
                "--lifts", "0,0.05,0.1", "--method", "sc", "--out", tmp_path / "power"])
    assert done.returncode == 0, done.stderr
    power = tessarix.geo.power(sales, unit="market", time="week", outcome="sales", treated=["m03", "m07"], test_len=6,
                               lifts=[0, 0.05, 0.1], method="sc")
    curve = pd.read_csv(tmp_path / "power" / "curve.csv")
    assert curve["power"].tolist() == power.native.power
    windows = pd.read_csv(tmp_path / "power" / "windows.csv")
    assert len(windows) == power.n_windows and windows["start"].iloc[0].startswith("2024-")
    done = run(["select", sales_file, *geo, "--max-treated", 2, "--test-len", 6, "--target-lift", 0.1,
                "--option", "method=sc", "--option", "n_candidates=5", "--out", tmp_path / "select"])
    assert done.returncode == 0, done.stderr
    sel = tessarix.geo.select(sales, unit="market", time="week", outcome="sales", max_treated=2, test_len=6,
                              target_lift=0.1, method="sc", n_candidates=5)
    ranked = pd.read_csv(tmp_path / "select" / "candidates.csv")
    assert ranked["markets"].iloc[0] == ";".join(sel.best) and ranked["score"].tolist() == [c.score for c in sel.native]
    done = run(["diagnose", sales_file, *geo, "--treated", "m03", "--test-len", 6])
    assert done.returncode == 0 and "confidence" in done.stdout


BAD = [
    (["synth", PROP99, *PROP99_ARGS[:4], "--outcome", "Packs", "--treated", "California", "--start", 1989],
     "tessarix synth: error: outcome='Packs' is not a column of the data"),
    (["synth", PROP99, *PROP99_ARGS, "--treated", "Narnia", "--start", 1989],
     "tessarix synth: error: treated='Narnia' is not a unit of column 'State'"),
    (["synth", PROP99, *PROP99_ARGS, "--treated", "California", "--start", 1989, "--option", "zeta=1"],
     "tessarix synth: error: synth(method='sc') got an unexpected option 'zeta'"),
    (["synth", PROP99, *PROP99_ARGS, "--treated", "California", "--start", 1989, "--option", "ridge"],
     "tessarix synth: error: --option takes KEY=VALUE; got 'ridge'"),
    (["synth", "/no/such.csv", *PROP99_ARGS, "--treated", "California", "--start", 1989],
     "tessarix synth: error: no such file: /no/such.csv"),
    (["power", PROP99, *PROP99_ARGS, "--treated", "Utah", "--test-len", 4, "--lifts", "0,five"],
     "tessarix power: error: --lifts takes comma-separated numbers; got '0,five'"),
]


@pytest.mark.parametrize("args, line", BAD, ids=[b[1].split(": error: ")[1][:30] for b in BAD])
def test_bad_input_exits_2_with_one_line(args, line):
    done = run(args)
    assert done.returncode == 2
    assert done.stderr.startswith(line) and done.stderr.count("\n") == 1


def test_an_unbalanced_file_and_argparse_mistakes_exit_2(tmp_path):
    rows = open(PROP99).read().splitlines()
    broken = tmp_path / "broken.csv"
    broken.write_text("\n".join(rows[:100] + rows[101:]) + "\n")
    done = run(["synth", broken, *PROP99_ARGS, "--treated", "California", "--start", 1989])
    assert done.returncode == 2 and "the panel is unbalanced: 1 of 1209" in done.stderr
    assert run(["synth", PROP99, *PROP99_ARGS, "--start", 1989]).returncode == 2  # --treated missing


@pytest.mark.parametrize("command", ["synth", "did", "bacon", "power", "select", "diagnose"])
def test_help_documents_every_option(command):
    from tessarix.cli.main import _parser

    sub = next(a for a in _parser()._actions if a.dest == "command").choices[command]
    text = run([command, "--help"]).stdout
    for action in sub._actions:
        for flag in action.option_strings:
            assert flag in text
        assert action.help, action.dest


def test_the_demo_summarises_each_family_and_draws_their_pictures(tmp_path):
    done = subprocess.run([sys.executable, "-m", "tessarix", "--plots", str(tmp_path)], capture_output=True,
                          text=True, cwd="/")
    assert done.returncode == 0, done.stderr
    for title in ("Synthetic control (sc)", "Synthetic difference-in-differences (sdid)", "Callaway-Sant'Anna",
                  "Goodman-Bacon decomposition", "Geo power analysis (SC)", "Geo design diagnostics"):
        assert title in done.stdout
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        f"{n}.png" for n in ("synthetic_control", "synthetic_did", "callaway_santanna", "goodman_bacon",
                             "geo_power", "geo_diagnostics"))
