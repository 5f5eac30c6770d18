"""Training networks by self-play: the training data read from self-play files, a residual
network in PyTorch, the trainer, evaluation matches and the generation loop.

Nothing here imports torch when the package is imported: the modules that need it (model,
trainer, match, loop) are imported by the commands that use them. ``settings``, ``data`` and
``checkpoint`` need only numpy.
"""
