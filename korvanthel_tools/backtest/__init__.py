"""Backtesting policies on recorded traces at scale (the ``dask`` extra)."""
