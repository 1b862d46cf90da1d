"""Conformance checks: Gallion drives pumps and faults through scenarios and judges, from the
wire trace, what the controller under test did (`python3 -m gallion.conformance`)."""

from .checks import CATALOGUE, catalogue  # noqa: F401
