"""The keep rule against a literal model, and its two guarantees against brute-force Jaccard."""

from __future__ import annotations

import itertools

import numpy as np
import pytest
from veltrane import jaccard_similarities, near_duplicate_pairs_jaccard
from veltrane.keep import component_keepers, keep_ranks, keepers


def model(n, pairs, ranks):
    """The rule as stated: in keep order, drop onto the most similar kept near duplicate (ties
    to the earliest in keep order), else keep."""
    sim = {}
    for a, b, s in pairs:
        sim[a, b] = sim[b, a] = s
    keeper, similarity = list(range(n)), [1.0] * n
    kept: list[int] = []
    for t in sorted(range(n), key=lambda t: ranks[t]):
        near = [(-sim[t, k], ranks[k], k) for k in kept if (t, k) in sim]
        if near:
            keeper[t], similarity[t] = min(near)[2], -min(near)[0]
        else:
            kept.append(t)
    return keeper, similarity


def corpus(rng, n):
    """Texts from a few originals with word edits, some exact copies, and wordless ones."""
    vocab = [f"w{k}" for k in range(40)]
    originals = [list(rng.choice(vocab, 30)) for _ in range(4)]
    texts = []
    for _ in range(n):
        words = list(originals[rng.integers(4)])
        for _ in range(rng.integers(0, 6)):
            words[rng.integers(30)] = str(rng.choice(vocab))
        texts.append(" ".join(words) if rng.random() > 0.05 else "}")
    return texts


def brute_force(texts):
    pairs = np.array(list(itertools.combinations(range(len(texts)), 2)))
    return pairs, jaccard_similarities(texts, pairs[:, 0], pairs[:, 1], ngram=2)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("keep", ["first", "longest", "values"])
def test_no_chains_against_brute_force_jaccard(seed, keep):
    rng = np.random.default_rng(seed)
    texts = corpus(rng, 60)
    rule = rng.integers(0, 4, len(texts)).astype(float) if keep == "values" else keep
    threshold = 0.6
    pairs, sims = brute_force(texts)
    near = sims >= threshold
    i, j, s = pairs[near, 0], pairs[near, 1], sims[near]
    keeper, similarity = keepers(len(texts), i, j, s, keep=rule, texts=texts)
    ranks = keep_ranks(len(texts), rule, texts=texts)
    assert (keeper.tolist(), similarity.tolist()) == model(len(texts), zip(i, j, s), ranks)
    full = np.eye(len(texts))
    full[pairs[:, 0], pairs[:, 1]] = full[pairs[:, 1], pairs[:, 0]] = sims
    dropped = np.flatnonzero(keeper != np.arange(len(texts)))
    kept = np.flatnonzero(keeper == np.arange(len(texts)))
    assert (full[dropped, keeper[dropped]] >= threshold).all()
    assert (full[dropped, keeper[dropped]] == similarity[dropped]).all()
    assert (keeper[keeper] == keeper).all()  # every keeper is kept
    among = full[np.ix_(kept, kept)] - np.eye(len(kept))
    assert (among < threshold).all()
    # The search's own pairs, found on 1 or 2 threads: the same answer, and no chain either.
    found = [near_duplicate_pairs_jaccard(texts, threshold, ngram=2, threads=t) for t in (1, 2)]
    answers = [
        keepers(len(texts), f["i"], f["j"], f["similarity"], keep=rule, texts=texts) for f in found
    ]
    assert all(np.array_equal(a, b) for a, b in zip(answers[0], answers[1]))
    dropped = np.flatnonzero(answers[0][0] != np.arange(len(texts)))
    assert (full[dropped, answers[0][0][dropped]] >= threshold).all()


@pytest.mark.parametrize("seed", range(4))
def test_groups_of_copies_give_the_answer_of_all_their_pairs(seed):
    rng = np.random.default_rng(seed)
    n = 40
    group = rng.integers(0, 15, n)
    reps = np.array([np.flatnonzero(group == g)[0] for g in group])  # the lowest of each
    distinct = np.unique(reps)
    between = [
        (a, b, float(rng.choice([0.8, 0.9])))
        for a, b in itertools.combinations(distinct, 2)
        if rng.random() < 0.2
    ]
    sim = {}
    for a, b, s in between:
        sim[a, b] = sim[b, a] = s
    every = [
        (a, b, 1.0 if reps[a] == reps[b] else sim[reps[a], reps[b]])
        for a, b in itertools.combinations(range(n), 2)
        if reps[a] == reps[b] or (reps[a], reps[b]) in sim
    ]
    values = rng.integers(0, 3, n).astype(float)
    i, j, s = (np.array(c) for c in zip(*between))
    got = keepers(n, i, j, s, keep=values, groups=reps)
    assert (got[0].tolist(), got[1].tolist()) == model(n, every, keep_ranks(n, values))


def test_a_chain_drops_nothing_that_is_not_a_near_duplicate_of_its_keeper():
    # 0-1 and 1-2 are near duplicates, 0-2 are not: components drop 2 onto 0.
    i, j, s = [0, 1], [1, 2], [0.9, 0.85]
    assert keepers(3, i, j, s)[0].tolist() == [0, 0, 2]
    assert component_keepers(3, i, j).tolist() == [0, 0, 0]
    # SimHash distances: the closest kept text, ties to the earliest.
    keeper, distance = keepers(
        4, [0, 1, 2], [3, 3, 3], [2, 1, 1], keep="first", larger_is_closer=False, self_similarity=0
    )
    assert keeper.tolist() == [0, 1, 2, 1] and distance.tolist() == [0, 0, 0, 1]


def test_keep_rules_break_ties_to_the_first():
    texts = ["aa", "bbb", "cc", "ddd", ""]
    assert keep_ranks(5, "longest", texts=texts).tolist() == [2, 0, 3, 1, 4]
    assert keep_ranks(5, [1.0, np.nan, 3.0, 1.0, 3.0]).tolist() == [2, 4, 0, 3, 1]
    # Every text a copy of the others: the first in keep order stays.
    i, j = zip(*itertools.combinations(range(5), 2))
    assert keepers(5, i, j, keep="longest", texts=texts)[0].tolist() == [1] * 5
    assert component_keepers(5, i, j, keep=[1.0, 2.0, 5.0, 5.0, 0.0]).tolist() == [2] * 5
