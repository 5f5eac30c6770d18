"""Looking at games and playing them: stored games loaded and checked for showing (``games``),
the self-contained HTML page of ``tralix view`` (``page``, with ``page.html`` and the board
script ``board.js`` it shares with the play page), pictures of positions (``render``; Pillow
for PNG and GIF) and the local play server of ``tralix play`` (``play``). Stands on ``data``
and ``networks``; only the command line imports it."""
