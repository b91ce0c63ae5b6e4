"""UNITARY on four and five targets, the kernel that stages amplitudes in shared-memory tiles, on a
state large enough for many tiles per launch, with and without controls, against the oracle of
test_unitary."""

import numpy as np
import pytest

import ketsim
import reference
from test_unitary import expected_unitary, in_subspace, run, unitary_gate
import ketsim_testing as kt

N = 13


@pytest.mark.parametrize("targets", [[0, 1, 2, 3], [12, 5, 0, 9], [3, 11, 7, 1, 6], [4, 3, 2, 1, 0]],
                         ids=["low4", "scrambled4", "scrambled5", "low5_reversed"])
@pytest.mark.parametrize("controls,states", [([], []), ([10], [1]), ([8, 10], [0, 1])],
                         ids=["none", "one", "two"])
def test_unitary_tiles_match_oracle(targets, controls, states, dtype, mode):
    rng = np.random.default_rng(len(targets) * 17 + sum(targets) + len(controls))
    state = reference.random_state(N, dtype, rng)
    matrix = reference.random_unitary(2 ** len(targets), rng)
    got = run(N, state, [unitary_gate(targets, matrix, controls, states)], mode)
    kt.assert_state_close(got, expected_unitary(state, N, matrix, targets, controls, states), dtype)
    outside = ~in_subspace(N, controls, states)
    assert np.array_equal(got[outside], state[outside])
