"""`real_path` names what `os.path.realpath` names, whichever way it finds
it: through the kernel's view of a descriptor, or by walking the path."""

from __future__ import annotations

import os

import pytest

from tarnwick import datadir
from tarnwick.datadir import real_path, resolve_inside

# Paths inside the tree `tree` builds, relative to it.
CASES = [
    "file.py",
    "folder",
    "folder/",
    "folder/inner.py",
    "folder/../file.py",
    "link_to_file",
    "link_to_folder/inner.py",
    "link_to_link",
    "link_up/../file.py",  # ".." after a link: from the link's target
    "dangling",
    "missing/deeper.py",
    "file.py/",  # a file taken for a folder
    "loop",
    "fifo",
    "",
]


@pytest.fixture
def tree(tmp_path):
    (tmp_path / "folder" / "deep").mkdir(parents=True)
    (tmp_path / "file.py").write_text("x = 1\n")
    (tmp_path / "folder" / "inner.py").write_text("y = 2\n")
    (tmp_path / "link_to_file").symlink_to("file.py")
    (tmp_path / "link_to_folder").symlink_to("folder")
    (tmp_path / "link_to_link").symlink_to("link_to_file")
    (tmp_path / "link_up").symlink_to("folder/deep")
    (tmp_path / "dangling").symlink_to("nowhere.py")
    (tmp_path / "loop").symlink_to("loop")
    os.mkfifo(tmp_path / "fifo")
    return tmp_path


@pytest.mark.parametrize("relative", CASES)
def test_real_path_is_realpath(tree, relative, monkeypatch):
    monkeypatch.chdir(tree)
    for given in (os.path.join(tree, relative), relative):
        assert real_path(given) == os.path.realpath(given)


@pytest.mark.parametrize(
    "descriptors",
    [
        "/nonexistent/",  # no view of descriptors
        "DELETED",  # the file removed between the look and the naming
    ],
)
def test_real_path_walks_where_the_kernel_cannot_name_it(tree, monkeypatch, descriptors):
    target = tree / "link_to_file"
    if descriptors == "DELETED":
        real_readlink = os.readlink
        def readlink(path):
            named = real_readlink(path)
            return named + " (deleted)" if str(path).startswith(datadir._DESCRIPTORS) else named

        monkeypatch.setattr(os, "readlink", readlink)
    else:
        monkeypatch.setattr(datadir, "_DESCRIPTORS", descriptors)
    assert real_path(target) == str(tree / "file.py")


def test_a_link_swapped_between_two_looks_is_followed_anew(tree):
    outside = tree / "folder" / "deep"
    root = tree / "folder"
    name = root / "swapped.py"
    name.write_text("z = 3\n")
    assert resolve_inside(name, root) == str(name)
    name.unlink()
    name.symlink_to(tree / "file.py")  # now leads out of `root`
    assert resolve_inside(name, root) is None
    name.unlink()
    name.symlink_to(outside)
    assert resolve_inside(name, root) == str(outside)
