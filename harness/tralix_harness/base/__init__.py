"""The pieces every other package of the harness stands on, importing nothing of the harness:
the search settings handed to the module as its config object and the dataclass helpers of
every settings class, files written atomically (the folder synced too), the stop asked by a
first Ctrl-C or SIGTERM and the abort of a second, and the confidence interval of a score."""
