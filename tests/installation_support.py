"""A copy of this Python's installation of zorv_fast, every file where its
RECORD puts it, for tests that damage or change an installation: run with
PYTHONPATH set to the copy's site folder, the copy is the one imported."""
import os
import re
import shutil
import sys
from importlib import metadata
from pathlib import Path

import pytest

#: What a module's init says of a core library of another build, and what to do.
REINSTALL = ("reinstall zorv_fast (pip install --force-reinstall zorv_fast, "
             "or pip install . from a checkout)")


def copy_of_installation(folder):
    """Copies the installation into `folder`, laid out as under sys.prefix;
    returns the copy's site folder."""
    try:
        distribution = metadata.distribution("zorv_fast")
    except metadata.PackageNotFoundError:
        pytest.skip("zorv_fast is not installed")
    site = Path(str(distribution.locate_file(""))).resolve()
    prefix = Path(sys.prefix).resolve()
    if prefix not in site.parents:
        pytest.skip("zorv_fast is installed outside this Python's prefix")
    copy = Path(folder) / site.relative_to(prefix)
    for recorded in distribution.files or ():
        target = Path(os.path.normpath(copy / recorded))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(os.path.normpath(recorded.locate()), target)
    return copy


def core_library(site):
    return site / "zorv" / "libzorv_core.so"


def of_another_build(library):
    """Gives the core library file another build's identity, in place: the
    same code, the same size."""
    data = library.read_bytes()
    identity = re.search(rb"zorv_fast build ([0-9a-f]{64})", data)
    assert identity, "no build identity in the core library"
    other = bytes(b"0123456789abcdef"[(int(chr(c), 16) + 1) % 16] for c in identity.group(1))
    library.write_bytes(data[:identity.start(1)] + other + data[identity.end(1):])


def environment(site=None, **variables):
    """The environment of a process that imports the copy at `site`."""
    env = {name: value for name, value in os.environ.items()
           if not name.startswith(("ZORV_FAST_", "PYTHONPATH", "LD_PRELOAD", "LD_LIBRARY_PATH"))}
    if site is not None:
        env["PYTHONPATH"] = str(site)
    env.update(variables)
    return env
