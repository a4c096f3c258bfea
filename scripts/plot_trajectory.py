#!/usr/bin/env python3
"""Renders what qel-demo wrote: per joint, the target against the measured
position over time, with the control state as background; and, when the
demo's line.csv is there, the tool's measured path during the straight-line
move against the line."""
import csv
import math
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

STATE_NAMES = {0: "soft", 1: "go home", 2: "protect", 3: "gravity comp.", 4: "end-effector", 5: "position"}
STATE_COLOURS = {0: "#eeeeee", 1: "#fff2cc", 2: "#f4cccc", 3: "#d9ead3", 4: "#cfe2f3", 5: "#fafafa"}


def main(csv_path, png_path):
    with open(csv_path, newline="") as f:
        rows = list(csv.DictReader(f))
    if not rows:
        sys.exit(f"{csv_path}: no samples")
    t = [float(r["time_s"]) for r in rows]
    states = [int(r["state"]) for r in rows]

    fig, axes = plt.subplots(7, 1, figsize=(11, 14), sharex=True)
    for j, ax in enumerate(axes):
        target = [float(r[f"target{j + 1}"]) for r in rows]
        measured = [float(r[f"measured{j + 1}"]) for r in rows]
        start = 0
        for i in range(1, len(states) + 1):
            if i == len(states) or states[i] != states[start]:
                ax.axvspan(t[start], t[i - 1], color=STATE_COLOURS.get(states[start], "#ffffff"), lw=0)
                start = i
        ax.plot(t, target, "--", color="#cc0000", lw=1.2, label="target")
        ax.plot(t, measured, color="#1155cc", lw=1.2, label="measured")
        ax.set_ylabel("gripper" if j == 6 else f"joint {j + 1} (rad)")
        ax.grid(True, alpha=0.3)
    axes[0].legend(loc="upper right")
    handles = [plt.Rectangle((0, 0), 1, 1, color=STATE_COLOURS[s]) for s in sorted(set(states))]
    fig.legend(handles, [STATE_NAMES.get(s, str(s)) for s in sorted(set(states))],
               loc="lower center", ncol=len(handles), fontsize="small", title="control state")
    axes[-1].set_xlabel("time (s)")
    fig.suptitle("Virtual arm: targets against measured joint positions")
    fig.tight_layout(rect=(0, 0.04, 1, 1))
    fig.savefig(png_path, dpi=90)
    print(f"wrote {png_path}")


def plot_line(csv_path, png_path):
    """The measured tool path of the straight-line move against the line: the
    path in the plane of the line's two largest axes, and its distance from
    the line along the way."""
    with open(csv_path, newline="") as f:
        rows = list(csv.DictReader(f))
    if not rows:
        return
    start = [float(rows[0][f"start_{c}"]) for c in "xyz"]
    goal = [float(rows[0][f"goal_{c}"]) for c in "xyz"]
    tool = [[float(r[f"tool_{c}"]) for c in "xyz"] for r in rows]
    way = [g - s for g, s in zip(goal, start)]
    length = math.sqrt(sum(w * w for w in way))
    unit = [w / length for w in way]
    along, off = [], []
    for p in tool:
        d = [a - b for a, b in zip(p, start)]
        s = sum(x * u for x, u in zip(d, unit))
        closest = [b + min(max(s, 0.0), length) * u for b, u in zip(start, unit)]
        along.append(s * 1000.0)
        off.append(math.dist(p, closest) * 1000.0)
    axes = sorted(range(3), key=lambda i: -abs(way[i]))[:2]
    names = "xyz"

    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.5))
    left.plot([start[axes[0]] * 1000, goal[axes[0]] * 1000], [start[axes[1]] * 1000, goal[axes[1]] * 1000],
              "--", color="#cc0000", lw=1.2, label="line")
    left.plot([p[axes[0]] * 1000 for p in tool], [p[axes[1]] * 1000 for p in tool], color="#1155cc", lw=1.2,
              label="measured tool")
    left.set_xlabel(f"{names[axes[0]]} (mm)")
    left.set_ylabel(f"{names[axes[1]]} (mm)")
    left.set_aspect("equal", adjustable="datalim")
    left.legend(loc="best")
    left.grid(True, alpha=0.3)
    right.plot(along, off, color="#1155cc", lw=1.2)
    right.set_xlabel("along the line (mm)")
    right.set_ylabel("distance from the line (mm)")
    right.grid(True, alpha=0.3)
    fig.suptitle(f"Straight-line move of {length * 1000:.0f} mm: measured tool path, at most "
                 f"{max(off):.2f} mm from the line")
    fig.tight_layout()
    fig.savefig(png_path, dpi=90)
    print(f"wrote {png_path}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: plot_trajectory.py trajectory.csv trajectory.png")
    main(sys.argv[1], sys.argv[2])
    line = os.path.join(os.path.dirname(sys.argv[1]), "line.csv")
    if os.path.exists(line) and os.path.getsize(line) > 0:
        plot_line(line, os.path.join(os.path.dirname(sys.argv[2]), "line.png"))
