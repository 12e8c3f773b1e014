"""Replaying recorded traces through a policy in event time (``korvanthel
replay``), here or on a Dask cluster.

From the files to the report: ``trace`` joins the input files into one
buffer and names lines by file; ``native`` runs the buffer through the
native replayer with the ``ReplayOptions``; ``run`` drives one command run
(progress, where the results go, one policy or two); ``summary`` and
``policy_diff`` aggregate the results into the reports; ``events`` reads
event lines for replays evaluated from Python. ``dask_replay`` and
``rows`` (Parquet rows as event lines) need the ``dask`` extra and are
imported only when used. Nothing is imported here.
"""
