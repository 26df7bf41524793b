"""tessel: a Python test-automation framework."""
