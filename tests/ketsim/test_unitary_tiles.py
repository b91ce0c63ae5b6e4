"""UNITARY on four and five targets, the kernel that stages amplitudes in shared-memory tiles, on a
state large enough for many tiles per launch, with and without controls, against the oracle of
test_unitary."""

import pytest

from test_unitary import check_against_oracle

N = 13


@pytest.mark.parametrize("targets", [[0, 1, 2, 3], [12, 5, 0, 9], [3, 11, 7, 1, 6], [4, 3, 2, 1, 0]],
                         ids=["low4", "scrambled4", "scrambled5", "low5_reversed"])
@pytest.mark.parametrize("controls,states", [([], []), ([10], [1]), ([8, 10], [0, 1])],
                         ids=["none", "one", "two"])
def test_unitary_tiles_match_oracle(targets, controls, states, dtype, mode):
    check_against_oracle(N, targets, controls, states, dtype, mode,
                         seed=len(targets) * 17 + sum(targets) + len(controls))
