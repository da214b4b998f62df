"""Reading and writing files safely: whole or not at all, never in place of what
a name stands for, never replacing what a command did not make."""
