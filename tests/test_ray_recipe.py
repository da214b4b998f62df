"""The README's Ray recipe, run as it stands on a local Ray of two CPUs:
its scores are sim_batch's, bit for bit and in input order."""
from pathlib import Path

import numpy as np
import pytest

import zorv_fast

ray = pytest.importorskip("ray", reason="Ray comes with the test extra")

README = Path(__file__).resolve().parents[1] / "README.md"


def readme_recipe():
    section = README.read_text(encoding="utf-8").split("With Ray instead", 1)[1]
    return section.split("```python\n", 1)[1].split("```", 1)[0]


def test_readme_recipe_scores_like_sim_batch():
    plans = np.random.default_rng(11).uniform(-1.5, 1.5, size=(3001, 40))
    plans[::97, 5] = np.nan
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    try:
        recipe = {}
        exec(compile(readme_recipe(), str(README), "exec"), recipe)
        scores = recipe["score_on_ray"](plans, 7)
    finally:
        ray.shutdown()
    assert repr(scores) == repr(zorv_fast.sim_batch(plans))
