"""Running calls: in this process, in local worker processes or on a Dask cluster, behind one
Executor interface; the janitor that removes a killed run's temporary files, the signals that end
a run cleanly, and the progress shown while it runs."""
