"""Finding the source files of a project.

The walk never follows a link out of the project root, visits each real
directory and each real file once, and leaves out what a user does not
consider part of the project's own code: version-control and tool folders,
virtual environments, build output, caches and hidden folders; vendored
and generated code (`node_modules`, `vendor`, minified scripts, TypeScript
declaration files unless the project holds nothing else); and whatever
`.gitignore` files or `--exclude` patterns name.
"""

from __future__ import annotations

import os
import stat
import time
from dataclasses import dataclass, field
from typing import NamedTuple

from .._stamps import check_folder, folder_files
from ..collector import paused
from ..datadir import DATA_DIR
from ..settings import DEFAULT_MAX_FILE_BYTES
from ..wording import counted
from .extractors import SUFFIXES, grammar_of, unsupported_language
from .ignore import Rules
from .walk_batch import prefetched
from .walk_state import (
    CODES,
    CONFIG,
    DATA,
    DECLARATION,
    ENV_BY_NAMES,
    FLAGS,
    GITIGNORE,
    HAS_BIN,
    HAS_GITIGNORE,
    HAS_SCRIPTS,
    IGNORED,
    LANGS,
    LINK,
    MINIFIED,
    NAMED_OUT,
    NAMES,
    NEVER,
    REL,
    RULED_OUT,
    SOURCE,
    STAMPS,
    STATUS,
    TARGET,
    TARGET_RULED,
    UNADDRESSABLE,
    UNSUPPORTED,
    VENDORED,
    WALKED,
    WARNINGS,
    WAS_ENV,
    WalkState,
    change_bound,
    decode,
    file_status,
    folder_status,
    walk_key,
)

# Folder names never walked into (compared exactly).
SKIP_DIRS = frozenset(
    {
        "__pycache__",
        "build",
        "dist",
        "site-packages",
    }
)
# Folders of other people's code, counted apart (so is `target` beside a
# Cargo.toml or pom.xml: build output).
VENDOR_DIRS = frozenset({"node_modules", "vendor", "bower_components", "jspm_packages"})
# A folder holding one of these files is a virtual environment (venv,
# virtualenv) or a conda environment, whatever its name.
ENV_MARKERS = ("pyvenv.cfg", "conda-meta", os.path.join("bin", "activate"), os.path.join("Scripts", "activate"))

# Files whose content changes how imports resolve, and the prefixes of the
# names a tsconfig usually `extends` (tsconfig.base.json, ...).
CONFIG_FILES = frozenset({"tsconfig.json", "jsconfig.json", "package.json", "go.mod", "Cargo.toml"})
_EXTENDED_CONFIGS = ("tsconfig.", "jsconfig.")
_MINIFIED = (".min.js", ".min.mjs", ".min.cjs", "-min.js", ".bundle.js")
_DECLARATIONS = (".d.ts", ".d.mts", ".d.cts")


class SourceFile(NamedTuple):
    rel: str  # relative path with "/" separators
    path: str  # absolute path
    size: int
    mtime_ns: int
    ctime_ns: int
    language: str
    grammar: str

# Separates the file from the symbol in graph identifiers ("a.py::f").
ID_SEPARATOR = "::"
UNADDRESSABLE_REASON = 'path holds "::", which separates file and symbol in identifiers'


@dataclass
class Walk:
    """Result of walking a project."""

    # The number of `files`.
    file_count: int = 0
    # (relative path, reason) of source files and links left out.
    skipped: list = field(default_factory=list)
    # Number of folders left out by the folder rules.
    skipped_dirs: int = 0
    # Vendored or generated folders ("vendor/") and files left out.
    vendored: list = field(default_factory=list)
    # Folders and source files left out by .gitignore or --exclude.
    ignored: int = 0
    # One line per unusable ignore pattern.
    warnings: list = field(default_factory=list)
    # Source files of languages no extractor reads (C, Ruby, ...), not
    # ignored: language -> count.
    unsupported: dict = field(default_factory=dict)
    # [relative path, size, mtime_ns] of the files that steer import
    # resolution (tsconfig.json, go.mod, ...), sorted.
    configs: list = field(default_factory=list)
    # What the next walk may take over (`walk_state.WalkState`), None when
    # a settings file was too recent to vouch for.
    state: object = None
    # Whether `state` differs from the state the walk was given.
    state_changed: bool = True
    # Relative paths of the files whose size and time the given state did
    # not vouch for (None: it vouched for none).
    unvouched: set | None = None
    # The same files as the given state's, each vouched for: the cache
    # rows of the last run are exactly this walk's files, as they are.
    as_before: bool = False
    # Folders listed (the others were taken from the given state).
    listed: int = 0
    _files: list = field(default_factory=list, repr=False)
    _pending: object = field(default=None, repr=False)

    @property
    def files(self) -> list:
        """SourceFile entries, sorted by relative path (made when first
        asked for: a run that finds nothing changed never needs them)."""
        if self._pending is not None:
            # 100,000 entries and no cycles: collections would only cost time.
            with paused():
                self._files, self._pending = self._pending(), None
        return self._files

    @files.setter
    def files(self, value: list) -> None:
        self._files, self._pending = value, None


def _is_env(path: str, names=None) -> bool:
    """True when the folder `path` is an environment.  With `names` (what
    it holds, once listed) only a `bin` or `Scripts` in it costs a look."""
    for marker in ENV_MARKERS:
        if names is not None:
            head, inner, _ = marker.partition(os.sep)
            if head not in names:
                continue
            if not inner:
                return True
        if os.path.exists(os.path.join(path, marker)):
            return True
    return False


def _is_config(name: str) -> bool:
    return name in CONFIG_FILES or (name.startswith(_EXTENDED_CONFIGS) and name.endswith(".json"))


def _builds_into_target(folder: str) -> bool:
    """Cargo and Maven write their build output to `target/` beside their
    project file."""
    return any(os.path.isfile(os.path.join(folder, name)) for name in ("Cargo.toml", "pom.xml"))


def _inside(real: str, root_real: str) -> bool:
    return real == root_real or real.startswith(root_real.rstrip(os.sep) + os.sep)


def walk_project(
    root: str,
    max_file_bytes: int = DEFAULT_MAX_FILE_BYTES,
    excludes=(),
    use_gitignore: bool = True,
    languages=None,
    previous=None,
    started_ns: int | None = None,
) -> Walk:
    """Collect the project's source files under `root`.

    Links are followed only when their target lies inside `root`; a linked
    folder or file that is also reachable without the link is indexed once,
    under its real path.  With `languages`, files of other languages are
    left out and counted as ignored.

    `previous` is the state an earlier walk kept (`Walk.state`, encoded):
    folders it vouches for are not listed again, and the result is the one
    a walk without it gives.  `started_ns` is when the caller's run began
    (default: now); folders changed since shortly before are not vouched
    for next time.
    """
    root_abs = os.path.abspath(root)
    root_real = os.path.realpath(root_abs)
    started_ns = time.time_ns() if started_ns is None else started_ns
    key = walk_key(root_real, max_file_bytes, excludes, use_gitignore, languages)
    settings = (root_abs, root_real, max_file_bytes, excludes, use_gitignore, languages, key, started_ns)
    # The state's records and the walk's lists hold no cycles: at 100,000
    # files the collections they set off cost more than the walk's Python.
    with paused():
        old = decode(previous, key, _KINDS) if previous is not None else None
        if old is not None:
            try:
                return _Walker(*settings, old).run()
            except _Afresh:
                pass
        return _Walker(*settings, None).run()


_KINDS = frozenset(SUFFIXES.values())
_SCRIPTS = ("typescript", "javascript")
_new_tuple = tuple.__new__


def _ctime_at(codes: str, ctimes: bytes, index: int) -> int:
    """The change time `check_folder` found for the entry at `index`."""
    at = sum(1 for code in codes[:index] if code >= "\u0100")
    return memoryview(ctimes).cast("q")[at]


class _Afresh(Exception):
    """The kept state cannot vouch for the tree: walk without it."""


class _Relist(Exception):
    """A folder's record does not hold as it stands: list it again."""


def _stamps_by_name(record) -> dict:
    """name -> (size, mtime_ns) of the source files of a record."""
    names = record[NAMES].split("/") if record[NAMES] else []
    stamps = record[STAMPS]
    if type(record[CODES]) is not str or type(stamps) is not list:
        raise ValueError("malformed record")
    out = {}
    at = 0
    for name, code in zip(names, record[CODES]):
        if ord(code) >= SOURCE:
            out[name] = (stamps[at], stamps[at + 1])
            at += 2
    return out


class _Walker:
    """One walk (see `walk_project`)."""

    def __init__(self, root_abs, root_real, max_file_bytes, excludes, use_gitignore, languages, key, started_ns, old):
        self.root_abs = root_abs
        self.root_real = root_real
        self.max_file_bytes = max_file_bytes
        self.languages = languages
        self.key = key
        self.started_ns = started_ns
        self.old = old
        self.result = Walk()
        self.rules = Rules(root_abs, excludes, use_gitignore)
        self.seen_dirs = set()
        self.seen_files = set()  # real paths
        self.replayed = []  # (real prefix, names, codes) of folders taken from records
        self.batch = None  # the stamps the old state's entries had as the walk began (`Prefetched`)
        self.candidates = []
        self.declarations = []  # .d.ts files: kept only when there is nothing else
        self.links = []  # (rel, abs) of links met, handled after the plain walk
        self.dir_warnings = []
        # Folders taken from records whose .gitignore the rules have not read.
        self.unread_gitignores = set()
        self.kinds = list(old.kinds) if old is not None else []
        self.kind_codes = {kind: i for i, kind in enumerate(self.kinds)}
        # The kind of each code of a source or declaration file.
        self.kind_of = {}
        for i, kind in enumerate(self.kinds):
            self.kind_of[chr(SOURCE + i)] = self.kind_of[chr(DECLARATION + i)] = kind
        # The codes of TypeScript and JavaScript sources (not declarations).
        self.script_codes = {chr(SOURCE + i) for i, kind in enumerate(self.kinds) if kind[0] in _SCRIPTS}
        # Source files of folders taken from records, made into SourceFile
        # entries only when the files are asked for: (rel prefix, abs
        # prefix, names, codes, sizes and times, change times).
        self.taken = []
        self.taken_over = 0
        self.scripts_taken_over = False
        self.records = {}
        # Source files whose status the old state does not vouch for.
        self.unvouched = set() if old is not None else None
        # The folders of the files whose rows the old state says cannot vouch
        # for them: only their entries are looked through for those files.
        self.unsettled_folders = {rel.rpartition("/")[0] for rel in old.unsettled} if old is not None else set()
        # Change times from here on are edits the old state never saw; below
        # `settles_before`, edits this walk's state will have seen.
        self.changed_after = old.changed_after() if old is not None else NEVER
        self.settles_before = change_bound(started_ns)
        # Whether a file not vouched for was changed in between: the state
        # kept then vouches from this walk's start on, else from the old's.
        self.moved_on = False
        self.changed = old is None
        # False when a settings file was too recent to vouch for: no state kept.
        self.sound = True
        self.info = file_status(os.path.join(root_abs, ".git", "info", "exclude"), started_ns) if use_gitignore else None
        if old is not None:
            if self.info is False or old.info != self.info:
                raise _Afresh
            self.prelude = old.prelude
        else:
            self.prelude = self.rules.prelude_warnings()

    def run(self) -> Walk:
        result = self.result
        # The folders and files the old state records, looked at all at once.
        self.batch = prefetched(self.root_abs, self.old.records) if self.old is not None else None
        self.walk_dir(self.root_abs, "", self.root_real, plain=True)
        self.follow_links()
        # Declaration files describe code that lives elsewhere; they are the
        # project only when it holds nothing but declarations.
        candidates = self.candidates
        unrowed = set()
        if self.scripts_taken_over or any(f.language in _SCRIPTS for f in candidates):
            result.vendored += [f.rel for f in self.declarations]
            # Recorded with their sizes and times, yet no cache row vouches for them.
            unrowed.update(f.rel for f in self.declarations)
        else:
            candidates.extend(self.declarations)
        count = len(candidates) + self.taken_over
        result._files, result._pending = candidates, self.all_files
        result.file_count = count
        result.skipped.sort()
        result.warnings = self.prelude + self.dir_warnings
        result.configs.sort()
        result.unvouched = self.unvouched
        old = self.old
        result.as_before = old is not None and not self.unvouched and old.files == count
        if old is not None and not self.changed:
            self.changed = (
                self.moved_on or old.files != count or self.kinds != old.kinds or self.records != old.records
            )
        if self.sound and self.info is not False:
            # A state kept before walks had their start takes this one's when it is next written.
            keeps_start = old is not None and old.walked_ns is not None and not self.moved_on
            walked_ns = old.walked_ns if keeps_start else self.started_ns
            result.state = WalkState(
                self.key,
                self.kinds,
                self.info,
                self.prelude,
                self.records,
                count,
                unrowed,
                walked_ns,
                old.packed if old is not None else (),
            )
        result.state_changed = self.changed
        return result

    def all_files(self) -> list:
        """The walk's files, those of the folders taken from records made
        now (in the order of their relative paths)."""
        files = self.candidates
        kinds = self.kind_of
        limit = self.max_file_bytes
        # In C: a project's files, with nothing but their entries made per file.
        for rel_prefix, abs_prefix, names, codes, stamps, ctimes in self.taken:
            folder_files(rel_prefix, abs_prefix, names, codes, stamps, ctimes, kinds, limit, SourceFile, files)
        self.taken = []
        files.sort()
        return files

    # -- folders -------------------------------------------------------------

    def walk_dir(self, dir_abs: str, dir_rel: str, dir_real: str, plain: bool = False) -> None:
        # Iterative depth-first walk that never follows links itself.  The
        # plain walk keeps a record of each folder; folders reached through
        # links are always listed.
        stack = [(dir_abs, dir_rel, dir_real)]
        records = self.old.records if plain and self.old is not None else {}
        batch = self.batch if plain else None
        while stack:
            d_abs, d_rel, d_real = stack.pop()
            if d_real in self.seen_dirs:
                continue
            self.seen_dirs.add(d_real)
            status = record = None
            if plain:
                found = batch.folder(d_rel, d_abs) if batch is not None else None
                record = records.get(d_rel) if found is not None else None
                relisted = False
                if record is not None and found == record[STATUS]:
                    # As the batch found it before the walk: taken from its record.
                    try:
                        stack += self.replay(d_abs, d_rel, d_real, record)
                        continue
                    except _Relist:
                        relisted = True
                    except (TypeError, ValueError, IndexError, KeyError, AttributeError, OverflowError):
                        raise _Afresh from None
                try:
                    st = os.stat(d_abs)
                except OSError:
                    st = None
                if st is not None and stat.S_ISDIR(st.st_mode):
                    record = records.get(d_rel)
                    if (
                        not relisted
                        and record is not None
                        and [st.st_dev, st.st_ino, st.st_mtime_ns, st.st_ctime_ns] == record[STATUS]
                    ):
                        try:
                            stack += self.replay(d_abs, d_rel, d_real, record)
                            continue
                        except _Relist:
                            pass
                        except (TypeError, ValueError, IndexError, KeyError, AttributeError, OverflowError):
                            raise _Afresh from None
                    status = folder_status(st, self.started_ns)
                else:
                    record = records.get(d_rel)
            stack += self.list_dir(d_abs, d_rel, d_real, status, plain, record)

    def list_dir(self, d_abs, d_rel, d_real, status, plain, old_record) -> list:
        """List a folder and decide its entries; its record is kept when
        `status` vouches for the listing.  Returns the folders to walk."""
        result = self.result
        rules = self.rules
        result.listed += 1
        try:
            with os.scandir(d_abs) as it:
                entries = list(it)
        except OSError as exc:
            result.skipped.append((d_rel or ".", f"cannot list folder: {exc.strerror or exc}"))
            return []
        names = {e.name for e in entries}
        flags = (
            (ENV_BY_NAMES if "pyvenv.cfg" in names or "conda-meta" in names else 0)
            | (HAS_BIN if "bin" in names else 0)
            | (HAS_SCRIPTS if "Scripts" in names else 0)
            | (HAS_GITIGNORE if ".gitignore" in names else 0)
        )
        try:
            old_stamps = _stamps_by_name(old_record) if old_record is not None else {}
            if old_record is not None and (old_record[FLAGS] ^ flags) & HAS_GITIGNORE:
                raise _Afresh  # a .gitignore added or removed: other folders' rules change
        except (TypeError, ValueError, IndexError, KeyError, AttributeError):
            raise _Afresh from None
        record = [d_rel, status, flags, None, [], "", "", [], []]
        # An environment is told by what it holds: known once listed.
        if d_rel and _is_env(d_abs, names):
            result.skipped_dirs += 1
            record[FLAGS] |= WAS_ENV
            self.keep(record, plain)
            return []
        if flags & HAS_GITIGNORE:
            record[GITIGNORE] = file_status(os.path.join(d_abs, ".gitignore"), self.started_ns)
            if old_record is not None and (record[GITIGNORE] is False or record[GITIGNORE] != old_record[GITIGNORE]):
                raise _Afresh
        self.read_gitignores_above(d_rel)
        warnings = rules.enter(d_rel, names)
        self.dir_warnings += warnings
        record[WARNINGS] = warnings
        unsettled = self.old.unsettled if self.old is not None else ()
        changed_after = self.changed_after
        kept, codes, langs, stamps = [], [], [], []
        subdirs = []
        prefix = d_real if d_real.endswith(os.sep) else d_real + os.sep
        for entry in entries:
            name = entry.name
            rel = f"{d_rel}/{name}" if d_rel else name
            code = None
            try:
                if entry.is_symlink():
                    self.links.append((rel, entry.path))
                    code = LINK
                elif entry.is_dir(follow_symlinks=False):
                    code, walked = self.apply_dir(name, rel, entry.path)
                    if walked:
                        subdirs.append((entry.path, rel, prefix + name))
                else:
                    kind = grammar_of(name)
                    if kind is None or not entry.is_file(follow_symlinks=False):
                        if _is_config(name) and entry.is_file(follow_symlinks=False):
                            st = entry.stat(follow_symlinks=False)
                            result.configs.append([rel, st.st_size, st.st_mtime_ns])
                            code = CONFIG
                        elif kind is None:
                            language = unsupported_language(name)
                            if language is not None and not (rules.excluded(rel, False) or rules.ignored(rel, False)):
                                result.unsupported[language] = result.unsupported.get(language, 0) + 1
                                langs.append(language)
                                code = UNSUPPORTED
                    else:
                        st = entry.stat(follow_symlinks=False)
                        code = self.add_file(rel, entry.path, prefix + name, st, kind)
                        if code is not None and ord(code) >= SOURCE:
                            stamps += (st.st_size, st.st_mtime_ns)
                            if self.unvouched is not None and (
                                old_stamps.get(name) != (st.st_size, st.st_mtime_ns)
                                or st.st_ctime_ns >= changed_after
                                or rel in unsettled
                            ):
                                self.not_vouched(rel, st.st_ctime_ns)
            except OSError as exc:
                result.skipped.append((rel, f"cannot stat: {exc.strerror or exc}"))
                record[STATUS] = None  # a passing fault: listed again next time
                continue
            if code is not None:
                kept.append(name)
                codes.append(code)
        record[NAMES] = "/".join(kept)
        record[CODES] = "".join(codes)
        record[LANGS] = langs
        record[STAMPS] = stamps
        self.keep(record, plain)
        subdirs.sort(reverse=True)
        return subdirs

    def keep(self, record: list, plain: bool) -> None:
        # Kept even when its status cannot vouch for it: the status of its
        # .gitignore tells the next walk whether the folders below still
        # follow the same rules.
        if plain:
            self.records[record[REL]] = record
            if record[GITIGNORE] is False:
                self.sound = False

    def replay(self, d_abs: str, d_rel: str, d_real: str, record: list) -> list:
        """Take a folder's entries from its record (`_Relist` when one of
        its files is not what the record says, with nothing of it taken);
        returns the folders to walk."""
        flags = record[FLAGS]
        if d_rel and (
            flags & ENV_BY_NAMES
            or (flags & HAS_BIN and os.path.exists(os.path.join(d_abs, "bin", "activate")))
            or (flags & HAS_SCRIPTS and os.path.exists(os.path.join(d_abs, "Scripts", "activate")))
        ):
            self.result.skipped_dirs += 1
            self.records[d_rel] = record
            return []
        if flags & WAS_ENV:
            raise _Relist  # no longer an environment: its entries were never decided
        if flags & HAS_GITIGNORE:
            if file_status(os.path.join(d_abs, ".gitignore"), self.started_ns) != record[GITIGNORE]:
                raise _Afresh
        names = record[NAMES]
        codes = record[CODES]
        stamps = record[STAMPS]
        langs = record[LANGS]
        warnings = record[WARNINGS]
        if not (type(names) is str and type(codes) is str and type(stamps) is list and type(langs) is list):
            raise ValueError("malformed record")
        if type(warnings) is not list or (warnings and not all(type(line) is str for line in warnings)):
            raise ValueError("malformed record")
        names = names.split("/") if names else []
        if len(names) != len(codes) or "" in names or "." in names or ".." in names:
            raise ValueError("malformed record")
        abs_prefix = d_abs if d_abs.endswith(os.sep) else d_abs + os.sep
        real_prefix = d_real if d_real.endswith(os.sep) else d_real + os.sep
        rel_prefix = d_rel + "/" if d_rel else ""
        result = self.result
        kinds = self.kind_of
        code_set = set(codes)
        for code in code_set:
            if code >= "\u0100" and code not in kinds:
                raise ValueError("malformed record")
        # The source files first, in C: one lstat each (or their entries in the
        # batch looked at before the walk), nothing made per file that holds.
        first = self.batch.first_file(d_rel, record) if self.batch is not None else None
        if first is None:
            checked = check_folder(abs_prefix, names, codes, stamps, self.changed_after, self.max_file_bytes)
        else:
            checked = check_folder(
                abs_prefix, names, codes, stamps, self.changed_after, self.max_file_bytes, self.batch.files, first
            )
        if checked is None:
            raise _Relist
        now, ctimes, changed, notable, taken = checked
        unvouched = [(rel_prefix + names[index], _ctime_at(codes, ctimes, index)) for index in changed]
        unsettled = self.old.unsettled
        if unsettled and d_rel in self.unsettled_folders:
            # Files whose rows cannot vouch for them, named by the run that kept the state.
            seen = set(changed)
            for index, (name, code) in enumerate(zip(names, codes)):
                if code >= "\u0100" and index not in seen and rel_prefix + name in unsettled:
                    unvouched.append((rel_prefix + name, _ctime_at(codes, ctimes, index)))
        marks = (len(self.declarations), len(result.skipped), len(result.vendored), len(result.configs), len(self.links))
        limit = self.max_file_bytes
        for index, size, mtime, ctime in notable:
            name = names[index]
            if size > limit:
                result.skipped.append((rel_prefix + name, f"larger than {counted(limit, 'byte')}"))
            else:
                language, grammar = kinds[codes[index]]
                entry = (rel_prefix + name, abs_prefix + name, size, mtime, ctime, language, grammar)
                self.declarations.append(_new_tuple(SourceFile, entry))
        script_codes = self.script_codes
        scripts = bool(taken) and not self.scripts_taken_over and not script_codes.isdisjoint(code_set)
        if scripts and notable:
            # A script left out for its size does not count.
            left_out = {index for index, size, _, _ in notable if size > limit}
            scripts = any(code in script_codes for index, code in enumerate(codes) if index not in left_out)
        subdirs = []
        ignored = skipped_dirs = 0
        lstat = os.lstat
        # What this folder adds goes in place; a file not as recorded takes
        # it back (`_Relist`) by cutting the lists to these lengths.
        try:
            for name, code in zip(names, codes):
                if code >= "\u0100":
                    continue
                if code == WALKED:
                    subdirs.append((abs_prefix + name, rel_prefix + name, real_prefix + name))
                elif code == IGNORED:
                    ignored += 1
                elif code == CONFIG:
                    try:
                        st = lstat(abs_prefix + name)
                    except OSError:
                        raise _Relist from None
                    if not stat.S_ISREG(st.st_mode):
                        raise _Relist
                    result.configs.append([rel_prefix + name, st.st_size, st.st_mtime_ns])
                elif code == LINK:
                    self.links.append((rel_prefix + name, abs_prefix + name))
                elif code == UNADDRESSABLE:
                    result.skipped.append((rel_prefix + name, UNADDRESSABLE_REASON))
                elif code == MINIFIED:
                    result.vendored.append(rel_prefix + name)
                elif code != UNSUPPORTED:
                    effect = self.dir_effect(code, abs_prefix + name)
                    if effect == _WALK:
                        subdirs.append((abs_prefix + name, rel_prefix + name, real_prefix + name))
                    elif effect == _SKIPPED:
                        skipped_dirs += 1
                    elif effect == _VENDORED:
                        result.vendored.append(rel_prefix + name + "/")
                    elif effect == _IGNORED:
                        ignored += 1
            if codes.count(UNSUPPORTED) != len(langs):
                raise ValueError("malformed record")
            if langs and not all(type(language) is str for language in langs):
                raise ValueError("malformed record")
        except _Relist:
            del self.declarations[marks[0] :], result.skipped[marks[1] :], result.vendored[marks[2] :]
            del result.configs[marks[3] :], self.links[marks[4] :]
            raise
        if taken:
            self.taken.append((rel_prefix, abs_prefix, names, codes, now, ctimes))
            self.taken_over += taken
            self.scripts_taken_over = self.scripts_taken_over or scripts
        for rel, ctime in unvouched:
            self.not_vouched(rel, ctime)
        for language in langs:
            result.unsupported[language] = result.unsupported.get(language, 0) + 1
        result.ignored += ignored
        result.skipped_dirs += skipped_dirs
        if warnings:
            self.dir_warnings += warnings
        self.replayed.append((real_prefix, names, codes))
        if flags & HAS_GITIGNORE:
            self.unread_gitignores.add(d_rel)
        if now is not stamps:
            record = [*record[:STAMPS], now]
        self.records[d_rel] = record
        if len(subdirs) > 1:
            subdirs.sort(reverse=True)
        return subdirs

    def not_vouched(self, rel: str, ctime_ns: int) -> None:
        """A source file the old state cannot vouch for, read or parsed by
        the run: changed after the old state's walk yet settled before this
        one's, it moves the kept state on."""
        self.unvouched.add(rel)
        if self.changed_after <= ctime_ns < self.settles_before:
            self.moved_on = True

    def read_gitignores_above(self, d_rel: str) -> None:
        """Before a folder is listed again: the rules of the .gitignore files
        above it that folders taken from records did not read."""
        if not self.unread_gitignores:
            return
        parts = d_rel.split("/") if d_rel else []
        for depth in range(len(parts) + 1):
            folder = "/".join(parts[:depth])
            if folder in self.unread_gitignores:
                self.unread_gitignores.discard(folder)
                self.rules.enter(folder, (".gitignore",))

    # -- entries ---------------------------------------------------------------

    def dir_code(self, name: str, rel: str) -> str:
        """What a folder's name and the rules say of it."""
        if rel == DATA_DIR:  # our own data, not a folder the user left out
            return DATA
        if name.startswith(".") or name in SKIP_DIRS or name.endswith(".egg-info"):
            return NAMED_OUT
        if name in VENDOR_DIRS:
            return VENDORED
        ruled = self.rules.excluded(rel, True) or self.rules.ignored(rel, True)
        if name == "target":
            return TARGET_RULED if ruled else TARGET
        return RULED_OUT if ruled else WALKED

    def dir_effect(self, code: str, path: str) -> int:
        """What becomes of a folder of `dir_code`, with what only its
        surroundings tell (an environment, a Cargo.toml beside it)."""
        if code == WALKED:
            return _WALK
        if code == DATA:
            return _NONE
        if code == NAMED_OUT:
            return _SKIPPED
        if code in (TARGET, TARGET_RULED):
            vendored = _builds_into_target(os.path.dirname(path))
            if not vendored and code == TARGET:
                return _WALK
        elif code == VENDORED:
            vendored = True
        elif code == RULED_OUT:
            vendored = False
        else:
            raise ValueError("malformed record")
        if _is_env(path):
            return _SKIPPED
        return _VENDORED if vendored else _IGNORED

    def apply_dir(self, name: str, rel: str, path: str) -> tuple:
        """(code, whether to walk it) of a folder met now."""
        code = self.dir_code(name, rel)
        effect = self.dir_effect(code, path)
        result = self.result
        if effect == _SKIPPED:
            result.skipped_dirs += 1
        elif effect == _VENDORED:
            result.vendored.append(rel + "/")
        elif effect == _IGNORED:
            result.ignored += 1
        return code, effect == _WALK

    def add_file(self, rel: str, abspath: str, real: str, st, kind) -> str | None:
        """Decide a source file met now; returns its code (None when met
        before under its real path)."""
        if real in self.seen_files:
            return None
        self.seen_files.add(real)
        result = self.result
        rules = self.rules
        if rules.excluded(rel, False) or rules.ignored(rel, False) or (self.languages and kind[0] not in self.languages):
            result.ignored += 1
            return IGNORED
        if ID_SEPARATOR in rel:
            # Readers cut identifiers at the first "::": such a file could
            # not be told apart from a symbol of another file.
            result.skipped.append((rel, UNADDRESSABLE_REASON))
            return UNADDRESSABLE
        name = rel.rsplit("/", 1)[-1]
        if name.endswith(_MINIFIED):
            result.vendored.append(rel)
            return MINIFIED
        index = self.kind_codes.get(kind)
        if index is None:
            index = self.kind_codes[kind] = len(self.kinds)
            self.kinds.append(kind)
        declaration = name.endswith(_DECLARATIONS)
        code = chr((DECLARATION if declaration else SOURCE) + index)
        if st.st_size > self.max_file_bytes:
            result.skipped.append((rel, f"larger than {counted(self.max_file_bytes, 'byte')}"))
            return code
        entry = SourceFile(rel, abspath, st.st_size, st.st_mtime_ns, st.st_ctime_ns, kind[0], kind[1])
        (self.declarations if declaration else self.candidates).append(entry)
        return code

    def follow_links(self) -> None:
        """Links last, so that whatever they point to inside the root has
        already been met under its real path.  Links found inside linked
        folders are appended to the queue as the walk goes."""
        if self.links:
            self.see_replayed_files()
        result = self.result
        done = 0
        while done < len(self.links):
            rel, link_abs = self.links[done]
            done += 1
            name = rel.rsplit("/", 1)[-1]
            kind = grammar_of(name)
            real = os.path.realpath(link_abs)
            if not _inside(real, self.root_real):
                if kind is not None or os.path.isdir(link_abs):
                    result.skipped.append((rel, "link leads outside the project root"))
                continue
            try:
                st = os.stat(link_abs)
            except OSError:
                if kind is not None:
                    result.skipped.append((rel, "broken link"))
                continue
            if stat.S_ISDIR(st.st_mode):
                self.read_gitignores_above(rel)
                if self.apply_dir(name, rel, link_abs)[1]:
                    self.walk_dir(link_abs, rel, real)
            elif stat.S_ISREG(st.st_mode) and kind is not None:
                self.read_gitignores_above(rel)
                self.add_file(rel, link_abs, real, st, kind)
                if self.unvouched is not None:
                    self.unvouched.add(rel)

    def see_replayed_files(self) -> None:
        """The real paths of the files of folders taken from records, which
        a link to them must find met."""
        met = (IGNORED, UNADDRESSABLE, MINIFIED)
        for prefix, names, codes in self.replayed:
            self.seen_files.update(prefix + name for name, code in zip(names, codes) if code in met or code >= "\u0100")
        self.replayed.clear()


_NONE, _WALK, _SKIPPED, _VENDORED, _IGNORED = range(5)
_DIR_CODES = frozenset((WALKED, DATA, NAMED_OUT, VENDORED, RULED_OUT, TARGET, TARGET_RULED))
