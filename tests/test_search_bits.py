"""A seed fixes a search's plan, score and history bit for bit on every
machine: whichever BLAS kernels and SIMD paths NumPy takes, whichever batch
path scores the plans, and across a checkpoint and resume."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

# A short search with the penalty boundary, the same with its budget in
# plans (its last tenth in the finish's smaller population), a restarting
# one (BIPOP: drawn populations and step sizes), and the first with the
# settings that earlier versions' searches ran with (no plan drawn again,
# the standard rank-mu rate, no finish; their plan and score are those
# pinned before these settings), each also resumed from a checkpoint
# halfway and from one near its end. Prints one JSON line: their scores, and hashes of their plans'
# bits and of their whole results but for the wall-clock seconds.
SCRIPT = textwrap.dedent("""
    import dataclasses, hashlib, json, struct
    import zorv, zorv._trace, zorv.checkpoints

    def digest(data):
        text = data if isinstance(data, bytes) else json.dumps(data, sort_keys=True).encode()
        return hashlib.sha256(text).hexdigest()[:16]

    def without_seconds(result):
        data = json.loads(json.dumps(zorv.checkpoints.to_json(result),
                                     default=lambda a: a.tolist()))
        del data["seconds"], data["history"]["seconds"], data["settings"]["chunk"]
        del data["made_by"]  # names the machine's paths and versions, which may differ
        state = data["checkpoint"]["state"]
        del state["elapsed"], state["history"]["seconds"], state["settings"]["chunk"]
        return data

    out = {}
    for name, settings in [
            ("plain", zorv.SearchSettings(seed=3, popsize=48, generations=30,
                                          checkpoint_every=0)),
            ("finish", zorv.SearchSettings(seed=3, popsize=48, evaluations=1440,
                                           checkpoint_every=0)),
            ("bipop", zorv.SearchSettings(seed=2, popsize=8, evaluations=3000, sigma0=1e-11,
                                          restart_schedule="bipop", checkpoint_every=0)),
            ("former", zorv.SearchSettings(seed=3, popsize=48, generations=30,
                                           checkpoint_every=0, resample_outside=0,
                                           rank_mu_scale=1.0, finish_share=0.0))]:
        saved = []
        result = zorv.search(settings, checkpoint=lambda r: saved.append(
            zorv.checkpoints.dumps(r)))
        whole = without_seconds(result)
        for cut in (len(saved) // 2, len(saved) - 2):
            state = json.loads(saved[cut])["checkpoint"]["state"]
            resumed = zorv.search(settings, resume=zorv.SearchState.from_json(state))
            assert without_seconds(resumed) == whole, (name, cut)
        out[name] = [result.score, digest(struct.pack("40d", *result.plan)), digest(whole)]
    print(zorv._trace.batch_settings()[0])
    print(json.dumps(out))
""")

# What every machine gets (floats as repr, hashes of the bits).
EXPECTED = {
    "plain": [5.196889883066157, "55da9d9ea864249a", "e6743a8470323658"],
    "finish": [5.212563743315973, "584698c075b72842", "dcfb4072df90095f"],
    "bipop": [1.982894986023596, "09cbaf077ba66981", "04ddd91b4edde863"],
    "former": [4.460204456216861, "dd5e31b9cc6aa67d", "fe623875f85f6b43"],
}

ENVIRONMENTS = {
    "as is": {},
    "Prescott BLAS, NumPy without AVX": dict(
        OPENBLAS_CORETYPE="Prescott",
        NPY_DISABLE_CPU_FEATURES="AVX512_SPR AVX512_ICL X86_V4 X86_V3"),
    "SkylakeX BLAS, portable scoring and products": dict(
        OPENBLAS_CORETYPE="SkylakeX", ZORV_FAST_NO_SIMD="1"),
    "Sandybridge BLAS, AVX2 lanes": dict(
        OPENBLAS_CORETYPE="Sandybridge", ZORV_FAST_NO_AVX512="1"),
}


def run_search(extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("OPENBLAS_CORETYPE", "NPY_DISABLE_CPU_FEATURES", "ZORV_FAST_NO_SIMD",
                        "ZORV_FAST_NO_AVX512")}
    completed = subprocess.run([sys.executable, "-c", SCRIPT], env={**env, **extra},
                               capture_output=True, text=True, timeout=300)
    assert completed.returncode == 0, completed.stderr
    *_, build, results = completed.stdout.splitlines()
    return build, json.loads(results)


@pytest.mark.parametrize("name", ENVIRONMENTS)
def test_same_bits_everywhere(name):
    extra = ENVIRONMENTS[name]
    build, results = run_search(extra)
    assert results == EXPECTED
    # The switches reach the scores' path, whose row of instruction sets the
    # optimizer's products and samples take too.
    if "ZORV_FAST_NO_SIMD" in extra:
        assert build == "portable"
    elif "ZORV_FAST_NO_AVX512" in extra:
        assert build in ("avx2_lanes_with_fast_atan2", "avx2_lanes", "portable")
