"""``veltrane dedup --duplicate-files --link``: copies replaced by links, after comparing the
bytes, freeing exactly what the dry run said; a file changed in between is left alone."""

import os
import random

import pytest
from veltrane.cli import main
from veltrane.store import StoreError, links


def _tree(root):
    rng = random.Random(11)
    a, b = rng.randbytes(40_000), rng.randbytes(9_000)
    files = {"a1": a, "d/a2": a, "d/e/a3": a, "b1": b, "b2": b, "other": rng.randbytes(40_000)}
    for rel, data in files.items():
        p = root / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data)
    os.chmod(root / "d/a2", 0o600)
    os.link(root / "b2", root / "b2-link")  # b2's data stays while this link does
    return files


def _usage(root) -> int:
    """Bytes of distinct inodes under root."""
    seen = {}
    for top, _, names in os.walk(root):
        for n in names:
            st = os.lstat(os.path.join(top, n))
            seen[st.st_ino] = st.st_size
    return sum(seen.values())


def _contents(root) -> dict:
    out = {}
    for top, _, names in os.walk(root):
        for n in names:
            with open(os.path.join(top, n), "rb") as f:
                out[os.path.relpath(os.path.join(top, n), root)] = f.read()
    return out


def test_hardlink_frees_what_the_dry_run_said(tmp_path, capsys):
    _tree(tmp_path)
    before, usage = _contents(tmp_path), _usage(tmp_path)
    args = ["dedup", "--duplicate-files", "--link", "hardlink", str(tmp_path)]
    assert main([*args, "--dry-run"]) == 0
    dry = capsys.readouterr().out
    assert _usage(tmp_path) == usage  # nothing changed
    # a2 and a3 go (80,000 bytes); b2 keeps its data through its other link.
    assert "3 files would link (hardlink); would free 80,000 bytes" in dry
    assert main(args) == 0
    assert "3 files linked (hardlink); freed 80,000 bytes" in capsys.readouterr().out
    assert usage - _usage(tmp_path) == 80_000
    assert _contents(tmp_path) == before
    ino = os.lstat(tmp_path / "a1").st_ino
    assert os.lstat(tmp_path / "d/e/a3").st_ino == ino == os.lstat(tmp_path / "d/a2").st_ino
    # A hardlink takes the first file's metadata.
    assert os.lstat(tmp_path / "d/a2").st_mode & 0o777 == os.lstat(tmp_path / "a1").st_mode & 0o777


def test_a_file_changed_after_the_comparison_is_left_alone(tmp_path, monkeypatch):
    _tree(tmp_path)
    compare = links._same_bytes

    def then_changed(a, b):
        same = compare(a, b)
        with open(b, "r+b") as f:  # written after the comparison
            f.write(b"X")
        return same

    monkeypatch.setattr(links, "_same_bytes", then_changed)
    r = links.replace_duplicates([[str(tmp_path / "a1"), str(tmp_path / "d/a2")]], "hardlink")
    assert r.linked == [] and r.left == [(str(tmp_path / "d/a2"), "changed after it was compared")]
    assert (tmp_path / "d/a2").read_bytes()[:1] == b"X"


def test_reflink_shares_or_says_in_one_line_that_it_cannot(tmp_path):
    files = _tree(tmp_path)
    usage = _usage(tmp_path)
    group = [str(tmp_path / "a1"), str(tmp_path / "d/a2")]
    try:
        r = links.replace_duplicates([group], "reflink")
    except StoreError as e:
        assert "cannot share extents" in str(e) and "\n" not in str(e)
        assert _usage(tmp_path) == usage and (tmp_path / "d/a2").read_bytes() == files["d/a2"]
        return
    assert r.linked == [tuple(group)] and (tmp_path / "d/a2").read_bytes() == files["d/a2"]
    # A reflinked copy keeps its own inode and mode.
    assert os.lstat(group[1]).st_ino != os.lstat(group[0]).st_ino


@pytest.mark.parametrize("args", [["--link", "hardlink"], ["--dry-run"]])
def test_link_options_need_their_partners(tmp_path, args):
    (tmp_path / "f").write_bytes(b"x")
    assert main(["dedup", *args, str(tmp_path)]) == 2
