"""Imported as every Python process starts whose PYTHONPATH holds this
folder. Where HOLD_SPAWNED_IN names a folder, a process that multiprocessing
spawns (a Dask worker that a local cluster starts) makes a file started-PID
there and waits until a file "go" appears beside it: a test can then act
while the process that spawned it is still starting it. Any other process
goes on at once. The sitecustomize module that this one hides runs first."""
import importlib.machinery
import importlib.util
import os
import sys
import time

_HERE = os.path.dirname(os.path.abspath(__file__))
_hidden = importlib.machinery.PathFinder.find_spec(
    "sitecustomize", [entry for entry in sys.path if os.path.abspath(entry or ".") != _HERE])
if _hidden is not None and _hidden.loader is not None:
    _hidden.loader.exec_module(importlib.util.module_from_spec(_hidden))

_folder = os.environ.get("HOLD_SPAWNED_IN")
if _folder and "--multiprocessing-fork" in sys.argv:
    with open(os.path.join(_folder, f"started-{os.getpid()}"), "w"):
        pass
    while not os.path.exists(os.path.join(_folder, "go")):
        time.sleep(0.01)
