"""Training networks by self-play: the trainer (minibatches from the window of recent games,
policy and value cross-entropy, checkpoints that resume exactly), the one-tile look-ahead
policy targets, the evaluation matches, the generation loop with its run folder, and the
learning curve. Nothing here imports torch when the package is imported: the modules that need
it (trainer, match's callers, loop) are imported by the commands that use them; ``settings``
and ``folder`` need none."""
