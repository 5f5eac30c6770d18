"""Self-play data: the gzip JSON Lines game files (written a game at a time, read by one reader
that keeps the complete games of a file cut short), the training samples made of their games
(planes replayed by ``tralix_rules``, bit-packed, sparse policy targets), the window of recent
games that minibatches are drawn from, and the board's symmetries that augment them. Needs
numpy and the rules binding; imports nothing of the harness (``local`` reports its training
games as ``records.TrainingGame``)."""
