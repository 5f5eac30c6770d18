"""Training networks by self-play: the settings, the trainer (minibatches from the window of
recent games, the losses, checkpoints that resume exactly), training on data files outside the
loop (``offline``), the one-tile look-ahead policy targets, the matches and the ratings, the
generation loop with its evaluation, its report and its run folder, the learning curve, and
the fixed ladder of references (``ladder``). Nothing here imports torch when the package is
imported: the modules that need it (trainer, losses, training_state, offline, evaluation,
loop) are imported by the commands that use them; ``settings``, ``folder``, ``ratings``,
``plot`` and the ladder's modules need none."""
