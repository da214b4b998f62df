"""What a plan's run does, step by step: its full record (zorv.gait.run_record),
the gait measured from it (zorv.gait.measures), and how robust the plan is to
small changes (zorv.gait.perturbation). `zorv.record_run`, `zorv.gait_measures`
and `zorv.robustness` are their entry points."""
