"""Small timing helpers shared by the benchmarks (best of several repeats)."""

import timeit


def per_call(fn, number=20000, repeat=5):
    """Best seconds per call of fn() over `repeat` runs of `number` calls."""
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def report(name, fast, slow, label="pure Python"):
    ratio = slow / fast
    print(f"{name:<36} {fast * 1e6:9.3f} us  vs {label} {slow * 1e6:9.3f} us   speed-up {ratio:6.2f}x")
    return ratio
