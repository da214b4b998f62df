"""What a study writes beside its study file once its runs are over (or
stopped): summary.csv and its pictures, of the runs that are done."""
from __future__ import annotations

from . import pictures
from .folder import PICTURE_FILES, SUMMARY_FILE, StudyFolder
from .report import summary_csv
from .study import Study

#: Each picture's file and what draws it.
DRAWINGS = dict(zip(PICTURE_FILES, (pictures.convergence, pictures.targets, pictures.finals)))


def write_outputs(place: StudyFolder, study: Study) -> list[str]:
    """Writes summary.csv and the pictures of the runs that are done (none
    where no run is); the names of the files written. StudyWriteError
    where one cannot be written."""
    if not study.curves():
        return []
    place.write(SUMMARY_FILE, summary_csv(study))
    written = [SUMMARY_FILE]
    for name, draw in DRAWINGS.items():
        if name == "targets.svg" and not study.targets():
            continue
        place.write(name, draw(study))
        written.append(name)
    return written
