"""The result dictionary: its shape, the distances it holds, and agreement with an oracle."""

import heapq
import math
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

try:
    from scipy.sparse import csr_matrix
    from scipy.sparse.csgraph import dijkstra
except ImportError:  # a debug interpreter has no build of scipy: see undirected_distances
    dijkstra = None

INF = math.inf
NAN = math.nan


def test_shape_of_small_results(apsp):
    assert apsp([]) == {}
    result = apsp([(1, 2, 0.5)])
    assert result == {1: {1: 0.0, 2: 0.5}, 2: {2: 0.0, 1: 0.5}}
    assert apsp([(3, 3, 2.0)]) == {3: {3: 0.0}}
    for source, distances in result.items():
        assert type(source) is int
        assert type(distances) is dict
        assert all(type(k) is int and type(v) is float for k, v in distances.items())


def test_largest_node_number_comes_back_unsigned(apsp):
    result = apsp([(0, 4294967295, 1.5)])
    assert result == {0: {0: 0.0, 4294967295: 1.5}, 4294967295: {4294967295: 0.0, 0: 1.5}}


def test_every_call_builds_fresh_equal_dictionaries(apsp):
    edges = [(i, (i * 7 + 3) % 50, float(i % 5 + 1)) for i in range(50)]
    first, second = apsp(edges), apsp(edges)
    assert first == second
    assert first is not second and first[0] is not second[0]


def test_key_orders_follow_neither_the_edges_nor_the_numbers(apsp):
    # Both levels of a small result come out in an order that changes from call to call. With
    # three nodes there are six orders, none likelier than about 0.4, so 200 calls giving one
    # order every time, at either level, has a probability far below 1e-9.
    edges = [(3, 1, 1.0), (1, 2, 0.5), (2, 3, 1.25)]
    outer_orders, inner_orders = set(), set()
    for _ in range(200):
        result = apsp(edges)
        outer_orders.add(tuple(result))
        inner_orders.add(tuple(result[1]))
    assert len(outer_orders) > 1
    assert len(inner_orders) > 1


def test_the_garbage_collector_is_left_as_it_was(apsp, panic_type):
    # The collector is paused while a result is built; every call must leave it as it found it,
    # also one that fails.
    import gc

    edges = [(i, (i * 7 + 3) % 50, 1.0) for i in range(50)]
    assert gc.isenabled()
    apsp(edges)
    assert gc.isenabled()
    with pytest.raises(panic_type):
        apsp(edges + [(0, 1, -1.0)])
    assert gc.isenabled()
    gc.disable()
    try:
        apsp(edges)
        assert not gc.isenabled()
    finally:
        gc.enable()


def test_last_duplicate_edge_wins_in_both_directions(apsp):
    assert apsp([(1, 2, 5.0), (2, 1, 3.0)])[1][2] == 3.0
    assert apsp([(1, 2, 5.0), (1, 2, 7.0)])[2][1] == 7.0
    # The last one wins even when it is the longer one.
    result = apsp([(1, 2, 5.0), (2, 3, 1.0), (2, 1, 3.0)])
    assert result[1] == {1: 0.0, 2: 3.0, 3: 4.0}


@pytest.mark.parametrize(
    "edges, cutoff, expected",
    [
        # Candidates equal to the cutoff are kept; above it they are skipped.
        ([(0, 1, 2.0)], 2.0, {0: {0: 0.0, 1: 2.0}, 1: {1: 0.0, 0: 2.0}}),
        ([(0, 1, 2.0)], 1.999, {0: {0: 0.0}, 1: {1: 0.0}}),
        # A negative cutoff still reports every source at 0.0.
        ([(0, 1, 1.0)], -1.0, {0: {0: 0.0}, 1: {1: 0.0}}),
        # -0.0 keeps zero-weight neighbours (0.0 > -0.0 is false).
        ([(0, 1, 0.0)], -0.0, {0: {0: 0.0, 1: 0.0}, 1: {1: 0.0, 0: 0.0}}),
        # An infinite weight is a reachable infinite distance without a finite cutoff.
        ([(0, 1, INF)], None, {0: {0: 0.0, 1: INF}, 1: {1: 0.0, 0: INF}}),
        ([(0, 1, INF)], INF, {0: {0: 0.0, 1: INF}, 1: {1: 0.0, 0: INF}}),
        ([(0, 1, INF)], 1e308, {0: {0: 0.0}, 1: {1: 0.0}}),
        # A self-loop with a negative weight is skipped by a cutoff below it.
        ([(3, 3, -1.0)], -2.0, {3: {3: 0.0}}),
        ([(3, 3, 1.0)], None, {3: {3: 0.0}}),
    ],
)
def test_cutoff_edge_cases(apsp, edges, cutoff, expected):
    assert apsp(edges, cutoff) == expected


@pytest.mark.parametrize("cutoff", [NAN, INF])
def test_nan_and_infinite_cutoffs_mean_no_cutoff(apsp, cutoff):
    edges = [(0, 1, 2.0), (1, 2, 3.0), (5, 6, 1e300)]
    assert apsp(edges, cutoff) == apsp(edges)


def test_nan_weight_between_two_nodes(apsp):
    result = apsp([(0, 1, NAN)])
    assert result[0][0] == 0.0 and math.isnan(result[0][1])
    assert result[1][1] == 0.0 and math.isnan(result[1][0])


def test_unreachable_nodes_are_absent(apsp):
    result = apsp([(0, 1, 1.0), (2, 3, 1.0)])
    assert set(result) == {0, 1, 2, 3}
    assert set(result[0]) == {0, 1} and set(result[3]) == {2, 3}


def undirected_distances(nodes, edges, cutoff=None):
    """The oracle: scipy's Dijkstra over the symmetric matrix of the last weight per node pair.

    Where scipy cannot be imported (a debug interpreter has no build of it), a plain Dijkstra
    over the same weights stands in."""
    index = {node: i for i, node in enumerate(nodes)}
    weights = {}
    for u, v, w in edges:
        if u != v:
            weights[(index[u], index[v])] = w
            weights[(index[v], index[u])] = w
    if dijkstra is not None:
        table = scipy_distances(len(nodes), weights)
    else:
        table = plain_distances(len(nodes), weights)
    expected = {}
    for source in nodes:
        row = table[index[source]]
        expected[source] = {
            target: float(row[index[target]])
            for target in nodes
            if math.isfinite(row[index[target]])
            and (cutoff is None or row[index[target]] <= cutoff)
        }
    return expected


def scipy_distances(count, weights):
    rows = [r for r, _ in weights]
    cols = [c for _, c in weights]
    matrix = csr_matrix((list(weights.values()), (rows, cols)), shape=(count, count))
    return dijkstra(matrix, directed=True)


# Graph to its table of plain_distances: the same graphs come back when a test is repeated.
plain_tables = {}


def plain_distances(count, weights):
    key = (count, tuple(weights.items()))
    if key not in plain_tables:
        plain_tables[key] = plain_dijkstra(count, weights)
    return plain_tables[key]


def plain_dijkstra(count, weights):
    neighbours = [[] for _ in range(count)]
    for (r, c), w in weights.items():
        neighbours[r].append((c, w))
    table = []
    for source in range(count):
        row = [math.inf] * count
        row[source] = 0.0
        queue = [(0.0, source)]
        while queue:
            distance, node = heapq.heappop(queue)
            if distance > row[node]:
                continue
            for neighbour, w in neighbours[node]:
                if distance + w < row[neighbour]:
                    row[neighbour] = distance + w
                    heapq.heappush(queue, (distance + w, neighbour))
        table.append(row)
    return table


def assert_same_distances(actual, expected):
    assert actual.keys() == expected.keys()
    for source in expected:
        assert actual[source].keys() == expected[source].keys(), source
        for target, distance in expected[source].items():
            # math.isclose rather than pytest.approx: the large graphs have 160,000 distances,
            # and the refleak hunt compares them seven times.
            found = actual[source][target]
            assert math.isclose(found, distance, rel_tol=1e-12, abs_tol=1e-12), (
                source,
                target,
                found,
                distance,
            )


graphs = st.integers(min_value=1, max_value=25).flatmap(
    lambda n: st.tuples(
        st.lists(st.integers(0, 2**32 - 1), min_size=n, max_size=n, unique=True),
        st.lists(
            st.tuples(
                st.integers(0, n - 1),
                st.integers(0, n - 1),
                st.floats(0.01, 100.0, allow_nan=False, allow_infinity=False),
            ),
            max_size=3 * n,
        ),
    )
)


@settings(max_examples=150, deadline=None)
@given(graph=graphs, cutoff=st.one_of(st.none(), st.floats(0.0, 150.0)))
def test_random_graphs_match_the_oracle(apsp, graph, cutoff):
    names, picks = graph
    edges = [(names[u], names[v], w) for u, v, w in picks]
    nodes = list(dict.fromkeys(node for u, v, _ in edges for node in (u, v)))
    actual = apsp(edges, cutoff)
    assert_same_distances(actual, undirected_distances(nodes, edges, cutoff))


def test_larger_random_graph_matches_the_oracle(apsp):
    rng = random.Random(20240611)
    edges = [(rng.randrange(400), rng.randrange(400), rng.uniform(0.5, 20.0)) for _ in range(1600)]
    nodes = list(dict.fromkeys(node for u, v, _ in edges for node in (u, v)))
    assert_same_distances(apsp(edges), undirected_distances(nodes, edges))
    assert_same_distances(apsp(edges, 12.0), undirected_distances(nodes, edges, 12.0))


THREAD_COUNT_SCRIPT = """
import random, dorvane
rng = random.Random(7)
edges = [(rng.randrange(300), rng.randrange(300), rng.uniform(0.5, 9.0)) for _ in range(1200)]
result = dorvane.all_pairs_dijkstra_path_length(edges, 15.0)
print(sorted((s, sorted(d.items())) for s, d in result.items()))
"""


@pytest.mark.parametrize("threads", ["1", "2", "5"])
def test_same_result_whatever_the_thread_count(python_subprocess, threads):
    baseline = python_subprocess(THREAD_COUNT_SCRIPT)
    assert baseline.returncode == 0, baseline.stderr
    run = python_subprocess(THREAD_COUNT_SCRIPT, env={"DORVANE_NUM_THREADS": threads})
    assert run.returncode == 0, run.stderr
    assert run.stdout == baseline.stdout
    assert run.stderr == ""
