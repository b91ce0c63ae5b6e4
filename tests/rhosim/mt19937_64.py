"""The standard 64-bit Mersenne Twister, written out so the tests can predict measurement draws."""

MASK = (1 << 64) - 1


class MT19937_64:
    N, M = 312, 156
    LOWER = (1 << 31) - 1
    UPPER = MASK & ~LOWER

    def __init__(self, seed):
        self.state = [seed & MASK]
        for i in range(1, self.N):
            prev = self.state[-1]
            self.state.append((6364136223846793005 * (prev ^ (prev >> 62)) + i) & MASK)
        self.index = self.N

    def _twist(self):
        mt = self.state
        for i in range(self.N):
            x = (mt[i] & self.UPPER) | (mt[(i + 1) % self.N] & self.LOWER)
            xa = x >> 1
            if x & 1:
                xa ^= 0xB5026F5AA96619E9
            mt[i] = mt[(i + self.M) % self.N] ^ xa
        self.index = 0

    def __call__(self):
        if self.index >= self.N:
            self._twist()
        y = self.state[self.index]
        self.index += 1
        y ^= (y >> 29) & 0x5555555555555555
        y ^= (y << 17) & 0x71D67FFFEDA60000
        y ^= (y << 37) & 0xFFF7EEE000000000
        y ^= y >> 43
        return y & MASK


def first_uniform(seed):
    """u of the measurement draw: the first output times 2^-64, kept below 1."""
    u = float(MT19937_64(seed)()) * 2.0 ** -64
    return 0.9999999999999999 if u >= 1 else u
