"""Studies of optimizers: each optimizer run on each seed with one budget
and one set of search settings, every run a `zorv.search` of its own, into
a folder (`zorv compare`, or `zorv.compare` from Python).

Its parts: what a study is and its file (study), its folder (folder),
running it here (running) or on a Dask cluster (cluster), what its runs
show together (aggregation), its pictures (pictures), its tables as text
and CSV (report) and its progress (progress).
"""
