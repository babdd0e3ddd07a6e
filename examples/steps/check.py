from dataclasses import dataclass


@dataclass
class Check:
    """One recovered quantity beside the truth it should match within tolerance."""

    name: str
    recovered: float
    truth: float
    tolerance: float

    @property
    def ok(self):
        return abs(self.recovered - self.truth) <= self.tolerance
