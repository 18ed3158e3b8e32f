"""How colours are compared when the nearest palette colour is chosen."""

from typing import Literal, get_args

Metric = Literal["rgb", "lab"]
"""rgb: squared distance of the channel values, as palettra.convert measures
it; lab: ΔE*ab (1976) in CIELAB, see palettra_tools.lab."""

METRICS: tuple[Metric, ...] = get_args(Metric)


def check_metric(metric: str) -> None:
    if metric not in METRICS:
        raise ValueError(f"unknown metric {metric!r}: use one of {', '.join(METRICS)}")
