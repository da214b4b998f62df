"""The search: its loop and the parts it runs on (its settings and state, restarts,
the box, signals, memory, the optimizers' names and the library adapters)."""
