"""Policy test files: named cases of events with expectations, run on a
fresh engine each in event time, with coverage of the policy
(``korvanthel test``; the format is described in docs/testing.md)."""
