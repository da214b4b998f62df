"""What zorv shows people beside its files: the SVG document's common parts,
the panels under a run's animation, progress, notebook views, values in messages."""
