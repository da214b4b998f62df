// The runner written out plainly, as a yardstick for the simulation core.
#pragma once

// The score of one 40-value plan, the same bits as zorv_fast.sim(plan).
double plain_run_score(const double* plan);
