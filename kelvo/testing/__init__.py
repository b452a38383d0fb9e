"""Local test servers (in progress)."""
