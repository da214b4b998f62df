"""What this machine and this installation are: the C library and its atan2,
the batch path and threads, what made a result, the installed files, the
optional libraries."""
