"""Control and kinematics of the six-joint arm with a gripper.

Joint vectors: arm joints 1 to 6 in rad (rad/s), entry 6 the gripper in its
motor's position unit. Poses: [x, y, z, qw, qx, qy, qz] or [x, y, z, roll,
pitch, yaw], positions in m relative to the tool position at all-zero joints,
rotation Rz(yaw)·Ry(pitch)·Rx(roll) about the fixed base axes.
"""
import enum
import os
from typing import List, Literal, NamedTuple, Optional, Sequence, Tuple, Union, overload

import numpy
import qel_m4_recording

__version__: str

Numbers = Union[Sequence[float], "numpy.ndarray"]


class State(enum.IntEnum):
    """Control states for InterfacesPy.set_arm_status."""
    SOFT = 0
    GO_HOME = 1
    PROTECT = 2
    G_COMPENSATION = 3
    END_CONTROL = 4
    POSITION_CONTROL = 5


class OutputLevel(enum.IntEnum):
    """Severity of the library's lines."""
    TRACE = 0
    DEBUG = 1
    INFO = 2
    WARNING = 3
    ERROR = 4


class MotionState(enum.IntEnum):
    """What the last motion request is doing, or how it ended."""
    IDLE = 0
    MOVING = 1
    DONE = 2
    STOPPED = 3
    REFUSED = 4
    ABORTED = 5


class MotionKind(enum.IntEnum):
    """Which operation a MotionStatus is about."""
    NONE = 0
    JOINT = 1
    LINE = 2
    TRAJECTORY = 3
    SERVO = 4


class MotionStatus(NamedTuple):
    """The last motion request: state, kind, why it ended (if not at its goal)
    and the share of its planned time elapsed."""
    state: MotionState
    kind: MotionKind
    reason: str
    progress: float


class TrajectoryPoint:
    """One time-stamped point: six joint positions (rad), optionally the
    gripper's target, optional velocities and accelerations, time in s."""
    positions: List[float]
    velocities: List[float]
    accelerations: List[float]
    time_from_start: float

    def __init__(self, positions: Numbers, time_from_start: float, *, velocities: Numbers = ...,
                 accelerations: Numbers = ...) -> None: ...


class ArmError(RuntimeError):
    """A failure of the arm; the subclasses tell the causes apart."""


class BusOpenError(ArmError):
    """The CAN interface cannot be opened; nothing was sent."""


class NoMotorAnswerError(ArmError):
    """No arm motor answered after being enabled; the arm is damped."""


class OtherCommanderError(ArmError):
    """Another controller commands the arm; this one does not start."""


class HomingTimeoutError(ArmError):
    """Homing did not complete within 30 s; the arm is damped."""


class StartupCancelledError(ArmError):
    """Start-up was cancelled; the arm is damped."""


class OverCurrentError(ArmError):
    """Sustained over-current while homing; the arm is damped."""


class MotorFaultError(ArmError):
    """A motor reported a fault; the arm is damped."""


class JointStatus(NamedTuple):
    """One motor's latest measurement (raw motor position)."""
    position: float
    velocity: float
    torque: float
    current: float


class RecordingStatus(NamedTuple):
    """The running recording, or the last one once stopped."""
    active: bool
    path: str
    written: int
    lost: int
    error: str


class ThreadSettings:
    """Scheduling of one of the library's threads."""
    policy: str
    priority: int
    cpus: List[int]
    timer_slack_ns: int

    def __init__(self, *, policy: str = "inherit", priority: int = 0, cpus: Sequence[int] = ...,
                 timer_slack_ns: int = -1) -> None: ...


class RealtimeOptions:
    """Real-time settings of the control, receive and pose-search threads."""
    control: ThreadSettings
    receive: ThreadSettings
    search: ThreadSettings
    lock_memory: bool
    spin_ns: int

    def __init__(self, *, control: ThreadSettings = ..., receive: ThreadSettings = ...,
                 search: ThreadSettings = ..., lock_memory: bool = False, spin_ns: int = 0,
                 on_refusal: str = "warn") -> None: ...


class InterfacesPy:
    """The arm's controller with plain numbers (see the module docstring)."""

    def __init__(self, urdf_path: str, can_name: str, type: int, *,
                 realtime: Optional[RealtimeOptions] = None) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> "InterfacesPy": ...
    def __exit__(self, *args: object) -> None: ...

    @overload
    def get_joint_positions(self, *, as_array: Literal[False] = False) -> List[float]: ...
    @overload
    def get_joint_positions(self, *, as_array: Literal[True]) -> numpy.ndarray: ...
    @overload
    def get_joint_velocities(self, *, as_array: Literal[False] = False) -> List[float]: ...
    @overload
    def get_joint_velocities(self, *, as_array: Literal[True]) -> numpy.ndarray: ...
    @overload
    def get_joint_currents(self, *, as_array: Literal[False] = False) -> List[float]: ...
    @overload
    def get_joint_currents(self, *, as_array: Literal[True]) -> numpy.ndarray: ...
    @overload
    def get_ee_pose(self, *, as_array: Literal[False] = False) -> List[float]: ...
    @overload
    def get_ee_pose(self, *, as_array: Literal[True]) -> numpy.ndarray: ...
    @overload
    def get_ee_pose_xyzrpy(self, *, as_array: Literal[False] = False) -> List[float]: ...
    @overload
    def get_ee_pose_xyzrpy(self, *, as_array: Literal[True]) -> numpy.ndarray: ...
    @overload
    def get_ee_pose_matrix(self, *, as_array: Literal[False] = False) -> List[List[float]]: ...
    @overload
    def get_ee_pose_matrix(self, *, as_array: Literal[True]) -> numpy.ndarray: ...
    @overload
    def get_joint_status(self, *, as_array: Literal[False] = False) -> List[JointStatus]: ...
    @overload
    def get_joint_status(self, *, as_array: Literal[True]) -> numpy.ndarray: ...

    def set_arm_status(self, state: Union[State, int]) -> bool: ...
    def set_ee_pose(self, pose: Numbers) -> bool: ...
    def set_joint_positions(self, positions: Numbers) -> bool: ...
    def set_catch(self, position: float) -> bool: ...
    def set_catch_torque(self, current: float) -> bool: ...
    def set_catch_action_fast(self) -> None: ...
    def set_catch_action_slow(self) -> None: ...
    def set_end_effector_mass(self, kg: float) -> bool: ...
    def qel_x(self, qel1: float, qel2: float, qel3: float) -> None: ...

    def damp_now(self) -> None: ...
    def fault_latched(self) -> bool: ...
    def latched_fault(self) -> Optional[Tuple[int, str]]: ...
    def get_error_code(self) -> List[int]: ...

    def start_recording(self, path: Union[str, "os.PathLike[str]"], format: str = "hdf5") -> None: ...
    def stop_recording(self) -> RecordingStatus: ...
    def recording_status(self) -> RecordingStatus: ...
    def set_fault_dump_folder(self, folder: Union[str, "os.PathLike[str]", None]) -> None: ...
    def last_fault_dump(self) -> Optional[str]: ...
    def move_j(self, q: Numbers, speed: float, acceleration: float, *, asynchronous: bool = False) -> bool: ...
    def move_l(self, pose: Numbers, speed: float, acceleration: float, *, asynchronous: bool = False) -> bool: ...
    def follow_joint_trajectory(self, points: Sequence[TrajectoryPoint], *, asynchronous: bool = False) -> bool: ...
    def servo_j(self, q: Numbers, time: float) -> bool: ...
    def stop_motion(self, deceleration: Optional[float] = None) -> None: ...
    def motion_status(self) -> MotionStatus: ...
    def wait_motion(self, timeout: Optional[float] = None) -> bool: ...


class InterfacesToolsPy:
    """Forward kinematics for hosts without a controller."""

    def __init__(self, flag: int) -> None: ...
    def forward_kinematics_rpy(self, joint_pos: Numbers) -> List[float]: ...


class KinematicSolver:
    """Kinematics over the arm's compiled-in robot description."""

    def __init__(self) -> None: ...
    def computeForwardKinematics(self, joints: Numbers) -> List[float]: ...
    def computeInverseKinematics(self, pose: Numbers) -> List[float]: ...


def l5_fk(joints: Numbers) -> List[float]: ...
def l5_ik_lm(seed: Numbers, target: Numbers) -> List[float]: ...
def l5_get_Tau(joints: Numbers, type: int) -> List[float]: ...

def read_recording(path: Union[str, "os.PathLike[str]"]) -> "qel_m4_recording.Recording": ...

def set_output_level(level: Union[OutputLevel, int, str]) -> None: ...
def get_output_level() -> OutputLevel: ...
def set_repeat_interval(seconds: float) -> None: ...
def use_python_logging(enable: bool = True) -> None: ...
def flush_output() -> None: ...
