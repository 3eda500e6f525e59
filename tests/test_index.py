"""JaccardIndex against the in-memory search: batches, removal, reopening, a killed writer, and
the errors of foreign, damaged or mismatched indexes; NearDuplicateIndex kept in a file."""

import os
import signal
import sqlite3
import subprocess
import sys
import textwrap
import time
from dataclasses import replace

import numpy as np
import pytest
import veltrane
from veltrane import JaccardIndex


def corpus(seed, n):
    """Texts from a small vocabulary with edited copies, exact copies and texts without words."""
    rng = np.random.default_rng(seed)
    vocab = [f"w{k}" for k in range(60)]
    texts = []
    while len(texts) < n:
        kind = rng.integers(6)
        if kind == 0 and texts:
            words = texts[rng.integers(len(texts))].split()
            for _ in range(rng.integers(1, 4)):
                if words:
                    words[rng.integers(len(words))] = str(rng.choice(vocab))
            texts.append(" ".join(words))
        elif kind == 1 and texts:
            texts.append(texts[rng.integers(len(texts))])
        elif kind == 2:
            texts.append(str(rng.choice(["", "  ", "}", "a b"])))
        else:
            texts.append(" ".join(rng.choice(vocab, rng.integers(3, 25))))
    return texts


def expected(texts, indexed, queries, threshold):
    """For each query, the indexed positions at or above the threshold, from the in-memory
    search over both, where texts without words match nothing."""
    pairs = veltrane.near_duplicate_pairs_jaccard(
        list(queries) + list(indexed), threshold, wordless="apart"
    )
    q = len(queries)
    out = [[] for _ in queries]
    for i, j, s in pairs:
        if i < q <= j:
            out[i].append((int(j) - q, float(s)))
    return out


def as_lists(found):
    return [[(m.id, m.similarity) for m in ms] for ms in found]


@pytest.mark.parametrize("batch", [1, 7, 1000])
def test_batches_equal_the_in_memory_search(tmp_path, batch, rounds):
    for r in range(rounds(3)):
        texts = corpus(r, 150)
        queries = corpus(100 + r, 40) + texts[:20]
        index = JaccardIndex(tmp_path / f"{batch}-{r}", threshold=0.6)
        for start in range(0, len(texts), batch):
            index.add(texts[start : start + batch])
        assert len(index) == len(texts)
        assert as_lists(index.query(queries)) == expected(texts, texts, queries, 0.6)
        # Removed texts are gone from answers, also after their segments are merged.
        gone = list(range(0, len(texts), 3))
        index.remove(gone)
        kept = [k for k in range(len(texts)) if k % 3]
        want = [
            [(kept[j], s) for j, s in row]
            for row in expected(texts, [texts[k] for k in kept], queries, 0.6)
        ]
        assert as_lists(index.query(queries)) == want
        index.add(["filler text one two three"] * 40, ids=[f"f{k}" for k in range(40)])
        index.close()
        reopened = JaccardIndex(tmp_path / f"{batch}-{r}")
        assert reopened.threshold == 0.6 and len(reopened) == len(kept) + 40
        found = as_lists(reopened.query(queries))
        assert [[m for m in row if isinstance(m[0], int)] for row in found] == want
        reopened.close()


def test_ids_and_errors(tmp_path):
    index = JaccardIndex(tmp_path / "ix", threshold=0.9, ngram=3, num_perm=64, seed=7)
    assert index.add(["a b c d", "e f g h"], ids=["x", 5]) == ["x", 5]
    assert index.add(["a b c d e"]) == [6]
    with pytest.raises(ValueError, match="already in the index"):
        index.add(["q r s", "t u v"], ids=["new", "x"])
    assert len(index) == 3 and "new" not in index
    with pytest.raises(KeyError):
        index.remove(["x", "missing"])
    assert "x" in index
    index.close()
    for wrong in ({"threshold": 0.8}, {"ngram": 5}, {"num_perm": 128}, {"seed": 0}):
        with pytest.raises(ValueError, match="built with other parameters"):
            JaccardIndex(tmp_path / "ix", **wrong)
    again = JaccardIndex(tmp_path / "ix", threshold=0.9, ngram=3)
    assert (again.num_perm, again.seed) == (64, 7)
    # The parameter object asks for every field, the bands and rows the index chose among them.
    built = again.params
    assert (built.threshold, built.ngram, built.num_perm, built.seed) == (0.9, 3, 64, 7)
    JaccardIndex(tmp_path / "ix", params=built).close()
    with pytest.raises(ValueError, match="built with other parameters"):
        JaccardIndex(tmp_path / "ix", params=replace(built, rows=built.rows + 1))
    with pytest.raises(ValueError, match="not both"):
        JaccardIndex(tmp_path / "ix", params=built, threshold=0.9)
    # Opening and querying do not wait for a writer in the middle of a batch.
    again._db.execute("BEGIN IMMEDIATE")
    reader = JaccardIndex(tmp_path / "ix")
    assert len(reader.query(["a b c d"])[0]) == 1
    reader.close()
    again._db.execute("ROLLBACK")
    again.close()

    (tmp_path / "file").write_text("x")
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "notes.txt").write_text("x")
    for foreign in ("file", "other"):
        with pytest.raises(ValueError, match="not a Jaccard index"):
            JaccardIndex(tmp_path / foreign)
    (tmp_path / "junk").mkdir()
    (tmp_path / "junk" / "catalogue.sqlite").write_bytes(b"not a database" * 100)
    with pytest.raises(ValueError, match="not a Jaccard index or damaged"):
        JaccardIndex(tmp_path / "junk")
    (tmp_path / "sql").mkdir()
    db = sqlite3.connect(tmp_path / "sql" / "catalogue.sqlite")
    db.execute("CREATE TABLE t (x)")
    db.commit()
    db.close()
    with pytest.raises(ValueError, match="not a Jaccard index"):
        JaccardIndex(tmp_path / "sql")
    segment = next((tmp_path / "ix").glob("seg-*.keys.npy"))
    data = bytearray(segment.read_bytes())
    data[-1] ^= 1
    segment.write_bytes(bytes(data))
    with pytest.raises(ValueError, match="damaged index: segment .* checksum"):
        JaccardIndex(tmp_path / "ix")
    segment.unlink()
    with pytest.raises(ValueError, match="damaged index: segment"):
        JaccardIndex(tmp_path / "ix")


@pytest.mark.parametrize("made_with", [None, "runs"])
def test_an_index_of_other_words_is_refused(tmp_path, made_with):
    # An index of a release before word rules were recorded has no "words" row; its
    # shingles are of other words and must not be mixed with new ones.
    JaccardIndex(tmp_path / "ix").close()
    db = sqlite3.connect(tmp_path / "ix" / "catalogue.sqlite")
    if made_with is None:
        db.execute("DELETE FROM meta WHERE name = 'words'")
    else:
        db.execute("UPDATE meta SET value = ? WHERE name = 'words'", (made_with,))
    db.commit()
    db.close()
    with pytest.raises(ValueError, match="made with (the word rule 'runs'|words as runs)") as e:
        JaccardIndex(tmp_path / "ix")
    assert "\n" not in str(e.value) and "build it again" in str(e.value)


WRITER = textwrap.dedent(
    """
    import sys
    from veltrane import JaccardIndex
    sys.path.insert(0, sys.argv[3])
    from test_index import corpus
    texts, batch = corpus(0, 2000), int(sys.argv[2])
    index = JaccardIndex(sys.argv[1], threshold=0.6)
    print("open", flush=True)
    for k in range(10**6):
        ids = list(range(k * batch, (k + 1) * batch))
        index.add([texts[x % len(texts)] for x in ids], ids=ids)
        if k % 2:
            index.remove(range((k - 1) * batch, k * batch))
    """
)


@pytest.mark.slow
def test_sigkill_leaves_a_batch_boundary(tmp_path, rounds):
    """A writer killed at a random moment leaves the state after some whole batch: whole
    batches only, and the same answers as a clean index holding those batches."""
    texts, batch = corpus(0, 2000), 100
    queries = corpus(9, 30) + texts[::97]
    rng = np.random.default_rng(5)
    for r in range(rounds(4)):
        path = tmp_path / f"ix{r}"
        proc = subprocess.Popen(
            [sys.executable, "-c", WRITER, str(path), str(batch), os.path.dirname(__file__)],
            stdout=subprocess.PIPE,
        )
        assert proc.stdout is not None and proc.stdout.readline() == b"open\n"
        time.sleep(float(rng.uniform(0.05, 1.0)))
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        proc.stdout.close()
        index = JaccardIndex(path)
        ids = sorted(i for (i,) in index._db.execute("SELECT id FROM docs").fetchall())
        batches = sorted({x // batch for x in ids})
        assert ids == [x for b in batches for x in range(b * batch, (b + 1) * batch)]
        clean = JaccardIndex(tmp_path / f"clean{r}", threshold=0.6)
        clean.add([texts[x % len(texts)] for x in ids], ids=ids)
        assert as_lists(index.query(queries)) == as_lists(clean.query(queries))
        # The next batch after a kill commits as usual.
        index.add(texts[:10], ids=[f"after{k}" for k in range(10)])
        assert len(index) == len(ids) + 10
        index.close()
        clean.close()


def test_a_batch_commits_whole_or_not_at_all(tmp_path):
    texts = corpus(4, 300)
    index = JaccardIndex(tmp_path / "ix", threshold=0.6)
    index.add(texts[:100], ids=range(100))
    want = as_lists(index.query(texts[100:]))
    with pytest.raises(RuntimeError, match="boom"), index.batch():
        index.add(texts[100:200], ids=range(100, 200))
        index.remove(range(50))
        raise RuntimeError("boom")
    assert len(index) == 100 and as_lists(index.query(texts[100:])) == want
    with index.batch():
        index.add(texts[100:150], ids=range(100, 150))
        # A call that fails inside the batch leaves nothing of itself; the batch goes on.
        with pytest.raises(ValueError, match="already in the index"):
            index.add(texts[150:200], ids=[*range(150, 199), 3])
        # Its own adds are seen, and ids of the failed call are free again.
        assert 120 in index and as_lists(index.query(texts[120:121]))[0]
        index.add(texts[150:200], ids=range(150, 200))
    index.close()
    reopened = JaccardIndex(tmp_path / "ix")
    clean = JaccardIndex(tmp_path / "clean", threshold=0.6)
    clean.add(texts[:200], ids=range(200))
    assert len(reopened) == 200
    assert as_lists(reopened.query(texts)) == as_lists(clean.query(texts))


def test_simhash_index_lasts(tmp_path):
    rng = np.random.default_rng(3)
    fps = rng.integers(0, 2**64, size=600, dtype=np.uint64)
    fps[300:] = fps[:300] ^ (np.uint64(1) << rng.integers(0, 64, 300).astype(np.uint64))
    memory = veltrane.NearDuplicateIndex(2)
    path = tmp_path / "fps.sqlite"
    lasting = veltrane.NearDuplicateIndex(2, path=path)
    for part in np.array_split(fps, 4):
        assert np.array_equal(lasting.add(part), memory.add(part))
    lasting.close()
    reopened = veltrane.NearDuplicateIndex(path=path)
    assert reopened.max_distance == 2 and len(reopened) == 600
    for q in fps[::7].tolist():
        assert np.array_equal(reopened.query(q), memory.query(q))
    # A second writer's batch comes in before this one's, so ids stay those of one sequence.
    other = veltrane.NearDuplicateIndex(path=path)
    other.add(fps[:5])
    assert reopened.add(fps[5:10]).tolist() == list(range(605, 610))
    other.close()
    reopened.close()
    with pytest.raises(ValueError, match="built with max_distance=2, not 3"):
        veltrane.NearDuplicateIndex(3, path=path)
    (tmp_path / "junk").write_bytes(b"junk" * 1000)
    with pytest.raises(ValueError, match="not a SimHash index"):
        veltrane.NearDuplicateIndex(path=tmp_path / "junk")
    JaccardIndex(tmp_path / "jaccard").close()
    with pytest.raises(ValueError, match="not a SimHash index"):
        veltrane.NearDuplicateIndex(path=tmp_path / "jaccard" / "catalogue.sqlite")
