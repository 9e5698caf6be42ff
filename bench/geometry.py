"""Errors of an estimated rigid transform against the ground truth."""

from __future__ import annotations

import numpy as np


def rotation_error_degrees(R_est: np.ndarray, R_gt: np.ndarray) -> float:
    """Angle of R_est R_gt^T, from the chord ||R_est - R_gt||_F = 2 sqrt(2) sin(angle / 2),
    which stays accurate for tiny angles where the trace formula loses every digit."""
    chord = np.linalg.norm(np.asarray(R_est) - np.asarray(R_gt))
    return float(np.degrees(2.0 * np.arcsin(min(1.0, chord / (2.0 * np.sqrt(2.0))))))


def translation_error(t_est: np.ndarray, t_gt: np.ndarray) -> float:
    return float(np.linalg.norm(np.asarray(t_est) - np.asarray(t_gt)))


def transform_errors(T_est: np.ndarray, T_gt: np.ndarray) -> dict[str, float]:
    """Rotation error in degrees and translation error in millimetres (clouds in metres)."""
    T_est = np.asarray(T_est, dtype=np.float64)
    return {
        "rotation_error_deg": rotation_error_degrees(T_est[:3, :3], T_gt[:3, :3]),
        "translation_error_mm": 1000.0 * translation_error(T_est[:3, 3], T_gt[:3, 3]),
    }
