"""Games played on this machine, the harness's main API: ``Run`` starts worker processes, each
playing several games at once as greenlets on one thread, and runs each network either in
every worker or in one inference server process per network; the wire between games and
networks (raw bytes framed on pipes), the events the processes report to the main process,
and the watch that ends a process whose parent died. ``options`` holds what a run is asked,
``lifecycle`` the lifecycle that a run on a cluster shares with what it reports and the
errors that end it, ``openings`` what makes a seat-rotated match repeatable."""
