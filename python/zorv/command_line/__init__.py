"""The command line: its parser, its commands, what they print, their exit
statuses."""
