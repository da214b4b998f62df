"""What a plan's run does, step by step: where the body points are
(zorv.motion.positions), its full record (zorv.motion.record), the gait
measured from it (zorv.motion.gait), and how robust the plan is to small
changes (zorv.motion.perturbation). `zorv.trace`, `zorv.record_run`,
`zorv.gait_measures` and `zorv.robustness` are their entry points."""
