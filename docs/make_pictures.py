"""Draws the documentation's pictures into docs/images/ from runs of zorv:
`python docs/make_pictures.py`. Every search has a fixed seed, so running
the script again writes the same files."""
from pathlib import Path

import zorv
from zorv import plot, svg
from zorv.body import PLAN_SIZE

IMAGES = Path(__file__).resolve().parent / "images"


def main() -> None:
    # The Quick start's search: `python -m zorv search --generations 30`.
    quick_start = zorv.search(zorv.SearchSettings(generations=30))
    run = zorv.trace(quick_start.plan)
    title = f"best of seed {quick_start.settings.seed}"  # as `search --svg` titles it
    # The same budget for both optimizers; the chart's x axis is plans
    # scored, which unlike seconds is the same on every run.
    compared = [zorv.search(zorv.SearchSettings(seed=1, evaluations=100_000)),
                zorv.search(zorv.SearchSettings(seed=1, evaluations=100_000, optimizer="pycma",
                                                boundary="transform", popsize=256))]
    # The gait page's plan: `zorv search --seed 1 --popsize 64 --generations 30`,
    # drawn as `zorv show --torques` draws it.
    studied = zorv.record_run(zorv.search(zorv.SearchSettings(seed=1, popsize=64,
                                                              generations=30)).plan)
    pictures = {
        "gait.svg": svg.animation(studied.positions, title="gait-best.json",
                                  contacts=studied.contacts, torques=studied.torques),
        "filmstrip.svg": svg.filmstrip(run, frames=8, title=title),
        "run.svg": svg.animation(run, title=title),
        "body.svg": svg.body_diagram(zorv.trace([0.0] * PLAN_SIZE)[0]),
        "convergence.svg": plot.convergence(compared),
    }
    IMAGES.mkdir(exist_ok=True)
    for name, text in pictures.items():
        (IMAGES / name).write_text(text, encoding="utf-8")
        print(IMAGES / name)


if __name__ == "__main__":
    main()
