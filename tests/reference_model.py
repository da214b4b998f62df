"""A plain Python model of one run of the runner, kept independent of the
C++ core so that the two can be compared bit for bit.

Python floats are IEEE doubles, Python never fuses a multiply and an add, and
math.atan2 is the C library's atan2, so evaluating every formula with the same
brackets as the core gives the same doubles.  Each bracket below is therefore
deliberate: a + b*c means a + (b*c), and a reciprocal that is multiplied is
not the same as a division.

Only the body's sizes, names and order come from the compiled model
(zorv.body); every number of the physics is stated here on its own, by name,
so a body the model does not know fails loudly rather than running wrong.
"""
import math

from zorv import body

POINT_COUNT = len(body.POINTS)
HIP, KNEE_A, FOOT_A, KNEE_B, FOOT_B, HEAD = map(
    body.POINTS.index, ("hip", "knee_a", "foot_a", "knee_b", "foot_b", "head"))
# Mass, start x and start y of each point
_POINT_DATA = {
    "hip": (30.0, 0.0, 1.0),
    "knee_a": (10.0, 0.0, 0.5),
    "foot_a": (5.0, -0.25, 0.0),
    "knee_b": (10.0, 0.25, 0.5),
    "foot_b": (5.0, 0.25, 0.0),
    "head": (10.0, 0.15, 1.9),
}
MASS, START_X, START_Y = zip(*(_POINT_DATA[name] for name in body.POINTS))

THIGH_A, SHIN_A, THIGH_B, SHIN_B, TORSO = map(
    body.LINK_NAMES.index, ("thigh_a", "shin_a", "thigh_b", "shin_b", "torso"))
# (proximal point, distal point, rest length, stiffness, damping)
_LINK_DATA = {
    "thigh_a": (HIP, KNEE_A, 0.5, 160.0, 8.0),
    "shin_a": (KNEE_A, FOOT_A, 0.5, 180.0, 8.0),
    "thigh_b": (HIP, KNEE_B, 0.5, 160.0, 8.0),
    "shin_b": (KNEE_B, FOOT_B, 0.5, 180.0, 8.0),
    "torso": (HIP, HEAD, 0.9, 160.0, 8.0),
}
LINKS = tuple(_LINK_DATA[name] for name in body.LINK_NAMES)
# Joints hip_a, knee_a, hip_b, knee_b: (parent link, child link, k, c)
_JOINT_DATA = {
    "hip_joint_a": (TORSO, THIGH_A, 20.0, 8.0),
    "knee_joint_a": (THIGH_A, SHIN_A, 10.0, 4.0),
    "hip_joint_b": (TORSO, THIGH_B, 20.0, 8.0),
    "knee_joint_b": (THIGH_B, SHIN_B, 10.0, 4.0),
}
JOINTS = tuple(_JOINT_DATA[name] for name in body.JOINT_NAMES)
SEGMENTS = body.PLAN_SIZE // 2
STEPS_PER_SEGMENT = body.MAX_STEPS // SEGMENTS
PI = 3.141592653589793
TWO_PI = 6.283185307179586


def normalise(plan):
    """Clamp to [-1, 1]: max(v, -1.0) with NaN giving -1.0, then min(t, 1.0)."""
    out = []
    for v in map(float, plan):
        t = v if v > -1.0 else -1.0
        out.append(t if t < 1.0 else 1.0)
    return out


def joint_targets(plan, s, k):
    """Targets of hip_a, knee_a, hip_b, knee_b in step k of segment s."""
    w = float(k) * 0.1 + 0.05
    u = 1.0 - w
    if s == 0:
        prev_hip, prev_knee = 0.5, 0.0
    else:
        prev_hip, prev_knee = plan[2 * s - 2], plan[2 * s - 1]
    hip = plan[2 * s] * w + prev_hip * u
    knee = prev_knee * u + w * plan[2 * s + 1]
    return (hip + 2.8, (1.0 - knee) * 0.9, 2.8 - hip, (knee + 1.0) * 0.9)


def measure_link(x, y, vx, vy, link):
    """Terms of one link: (S, P, angle, spin, length) with S and P as pairs."""
    p, d, rest, stiffness, damping = link
    dx = x[d] - x[p]
    dy = y[d] - y[p]
    dvx = vx[d] - vx[p]
    dvy = vy[d] - vy[p]
    length = math.sqrt(dy * dy + dx * dx) + 0.01
    a = dy * dvy + dx * dvx
    rate = a + a
    tension = (rest - length) * stiffness - rate * damping
    inv_length = 1.0 / length
    length_sq = length * length
    inv_length_sq = 1.0 / length_sq
    spring = ((dx * inv_length) * tension, (dy * inv_length) * tension)
    perp = ((-dy) * inv_length_sq, dx * inv_length_sq)
    angle = math.atan2(dy, dx)
    spin = (dvx * dy - dvy * dx) / length_sq
    return spring, perp, angle, spin, length


def joint_torques(links, targets):
    """Torques of hip_a, knee_a, hip_b, knee_b from the link terms."""
    torques = []
    for (parent, child, k, c), g in zip(JOINTS, targets):
        _, _, angle_p, spin_p, length_p = links[parent]
        _, _, angle_c, spin_c, length_c = links[child]
        e = (angle_c - angle_p) + g
        if e > PI:
            e = e - TWO_PI
        elif e < -PI:
            e = e + TWO_PI
        ratio_c = length_c / LINKS[child][2]
        ratio_p = length_p / LINKS[parent][2]
        if ratio_p != ratio_p:
            f = ratio_c
        elif ratio_c < ratio_p:
            f = ratio_c
        else:
            f = ratio_p
        damping = f * ((spin_c - spin_p) * (-c))
        torques.append(e * k + damping)
    return torques


def accumulate(links, torques):
    """Force accumulators (fx, fy) of the six points, before gravity."""
    hip_a, knee_a, hip_b, knee_b = torques
    fx, fy = [0.0] * POINT_COUNT, [0.0] * POINT_COUNT
    for acc, i in ((fx, 0), (fy, 1)):
        s = [link[0][i] for link in links]
        p = [link[1][i] for link in links]
        g_thigh_a = p[THIGH_A] * knee_a + (s[THIGH_A] - p[THIGH_A] * hip_a)
        g_thigh_b = p[THIGH_B] * knee_b + (s[THIGH_B] - p[THIGH_B] * hip_b)
        g_shin_a = s[SHIN_A] - p[SHIN_A] * knee_a
        g_shin_b = s[SHIN_B] - p[SHIN_B] * knee_b
        g_torso = (s[TORSO] + p[TORSO] * hip_a) + p[TORSO] * hip_b
        acc[HIP] = ((0.0 - g_thigh_a) - g_thigh_b) - g_torso
        acc[KNEE_A] = (0.0 + g_thigh_a) - g_shin_a
        acc[FOOT_A] = 0.0 + g_shin_a
        acc[KNEE_B] = (0.0 + g_thigh_b) - g_shin_b
        acc[FOOT_B] = 0.0 + g_shin_b
        acc[HEAD] = 0.0 + g_torso
    return fx, fy


def step(state, plan, s, k):
    """Run one step in place.  Returns (ended, fx, fy), forces before gravity."""
    x, y, vx, vy = state
    hip_height, head_height = y[HIP], y[HEAD]
    contact = [False] * POINT_COUNT
    for i in range(POINT_COUNT):
        if 0.0 >= y[i]:
            contact[i] = True
            y[i] = 0.0
    links = [measure_link(x, y, vx, vy, link) for link in LINKS]
    torques = joint_torques(links, joint_targets(plan, s, k))
    fx, fy = accumulate(links, torques)
    forces = (list(fx), list(fy))
    for i in range(POINT_COUNT):
        m = MASS[i]
        inv = 1.0 / m
        fy[i] = fy[i] - m * 0.1
        vx[i] = ((fx[i] * 0.1) * inv) + vx[i]
        vy[i] = ((fy[i] * 0.1) * inv) + vy[i]
        if contact[i]:
            n = 0.0
            if vy[i] < 0.0:
                n = -vy[i]
                vy[i] = 0.0
            sign = math.nan if vx[i] != vx[i] else math.copysign(1.0, vx[i])
            if (vx[i] * sign) < n:
                vx[i] = 0.0
            else:
                vx[i] = vx[i] - sign * n
        x[i] = (vx[i] * 0.1) + x[i]
        y[i] = (vy[i] * 0.1) + y[i]
    ended = hip_height <= 0.0 or head_height <= 0.0
    return ended, forces[0], forces[1]


def start_state():
    return [list(START_X), list(START_Y), [0.0] * POINT_COUNT, [0.0] * POINT_COUNT]


def simulate_with_steps(plan):
    """Score of a plan (the head's x at the end) and the number of steps run."""
    plan = normalise(plan)
    if len(plan) != body.PLAN_SIZE:
        raise ValueError(f"a plan has exactly {body.PLAN_SIZE} values")
    state = start_state()
    steps = 0
    for s in range(SEGMENTS):
        for k in range(STEPS_PER_SEGMENT):
            steps += 1
            if step(state, plan, s, k)[0]:
                return state[0][HEAD], steps
    return state[0][HEAD], steps


def simulate(plan):
    return simulate_with_steps(plan)[0]


def first_step_state(plan):
    """After the first step: dict of per-point lists fx, fy (before gravity),
    x, y, vx, vy."""
    state = start_state()
    _, fx, fy = step(state, normalise(plan), 0, 0)
    x, y, vx, vy = state
    return {"fx": fx, "fy": fy, "x": x, "y": y, "vx": vx, "vy": vy}
