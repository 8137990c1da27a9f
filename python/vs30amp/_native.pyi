"""Native kernels of the vs30amp package (typed here; built from src/package)."""
