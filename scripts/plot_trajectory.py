#!/usr/bin/env python3
"""Renders a trajectory CSV written by qel-demo: per joint, the target against
the measured position over time, with the control state as background."""
import csv
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


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: plot_trajectory.py trajectory.csv trajectory.png")
    main(sys.argv[1], sys.argv[2])
