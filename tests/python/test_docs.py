"""The documentation cannot rot: every Python block of the README and of docs/ runs, each
file's blocks in order in one namespace, and the site builds with mkdocs without a warning."""

import os
import re
import subprocess
import sys

import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PAGES = ["README.md"] + sorted(os.path.join("docs", f) for f in os.listdir(os.path.join(ROOT, "docs"))
                               if f.endswith(".md"))
BLOCK = re.compile(r"^```python\n(.*?)^```", re.S | re.M)


def blocks(page):
    with open(os.path.join(ROOT, page), encoding="utf-8") as f:
        return BLOCK.findall(f.read())


@pytest.mark.parametrize("page", PAGES)
def test_every_python_block_runs(page, tmp_path, monkeypatch):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    monkeypatch.chdir(tmp_path)
    found = blocks(page)
    if page == "README.md" or page.endswith(("index.md", "synthetic-control.md", "did.md", "geo.md")):
        assert found, f"{page} lost its examples"
    namespace: dict = {"__name__": "__docs__"}
    for k, code in enumerate(found):
        try:
            exec(compile(code, f"{page}[block {k + 1}]", "exec"), namespace)
        except Exception as e:  # name the block that failed
            raise AssertionError(f"{page}, block {k + 1} failed: {type(e).__name__}: {e}") from e


def test_the_site_builds_without_warnings(tmp_path):
    pytest.importorskip("mkdocs")
    pytest.importorskip("mkdocstrings")
    done = subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict", "-q", "-d", str(tmp_path / "site")],
                          cwd=ROOT, capture_output=True, text=True, env={**os.environ, "NO_MKDOCS_2_WARNING": "1"})
    assert done.returncode == 0, done.stderr
    api = (tmp_path / "site" / "api" / "index.html").read_text(encoding="utf-8")
    # The API page is generated from the docstrings, the front ends' and the results' alike.
    assert "Fit a synthetic-control-family estimator to a long data frame." in api
    assert "Staggered-adoption difference-in-differences from a long data frame." in api
