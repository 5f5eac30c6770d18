"""Looking at games and playing them: the pieces and each seat's hand (``pieces``), stored games
loaded and checked for showing (``games``), the self-contained HTML page of ``tralix view``
(``page``, with ``page.html`` and the board script ``board.js`` it shares with the play page),
pictures of positions (``render``; Pillow for PNG and GIF), the whole pieces the rules let a
person lay (``placing``) and the local play server of ``tralix play`` (``play``). Stands on
``data`` and ``networks``; only the command line imports it."""
