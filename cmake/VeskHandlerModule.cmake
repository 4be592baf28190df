# Building handler modules (shared libraries loaded by worker processes by their dotted name).
# Defined when the worker issue lands.
