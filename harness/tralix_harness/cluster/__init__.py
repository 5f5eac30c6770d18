"""The same runs of games on a Ray cluster (``--ray``; the ``ray`` extra): one player per
node runs a local ``Run`` there (``player``); the session keeps the players from run to run
(``session``), and ``ClusterRun``, used like ``Run``, hands out game numbers in shares,
collects the finished games in batches and plays the games of a lost node again elsewhere
(``run``). ``session`` and ``run`` import Ray, ``player`` only to fetch a shipped network's
bytes on its node; the commands import them only with ``--ray`` (``options``, which with
``address`` and ``errors`` needs no Ray)."""
