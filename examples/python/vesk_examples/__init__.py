"""Example stream handlers written in Python (run them with vesk-run --handler py:...)."""
