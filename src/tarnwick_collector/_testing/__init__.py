"""Native helpers used only by the test suite."""
