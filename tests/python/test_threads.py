"""Many Python threads calling at once."""

import random
import threading

import pytest


def graph(seed):
    rng = random.Random(seed)
    n = rng.randrange(20, 120)
    return [(rng.randrange(n), rng.randrange(n), rng.uniform(0.1, 10.0)) for _ in range(3 * n)]


def test_concurrent_calls_get_their_own_results(apsp):
    inputs = [(graph(seed), None if seed % 3 else 5.0) for seed in range(12)]
    expected = [apsp(edges, cutoff) for edges, cutoff in inputs]
    panic_type = []
    outcomes = {}
    barrier = threading.Barrier(8)

    def worker(index):
        barrier.wait()
        for round_ in range(6):
            which = (index + round_) % len(inputs)
            if (index + round_) % 4 == 0:
                # Interleave failures with the successful calls of the other threads.
                try:
                    apsp(inputs[which][0] + [(0, 1, -5.0)])
                except BaseException as error:  # noqa: B036
                    panic_type.append(type(error).__name__)
                    continue
            outcomes[(index, round_)] = (which, apsp(*inputs[which]))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    assert len(outcomes) + len(panic_type) == 8 * 6
    assert set(panic_type) == {"PanicException"}
    for which, result in outcomes.values():
        assert result == expected[which]


@pytest.mark.parametrize("count", [2, 16])
def test_threads_calling_with_shared_inputs(apsp, count):
    edges = graph(99)
    expected = apsp(edges)
    results = [None] * count

    def worker(index):
        results[index] = apsp(edges)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(result == expected for result in results)
