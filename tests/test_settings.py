"""The project's settings file: where it is found, what it may say, and one line for what it may not."""

import os

import pytest

from tarnwick.settings import Settings, SettingsError, load


def write(root, name, text):
    (root / name).write_text(text, encoding="utf-8")


def test_no_file_means_defaults(tmp_path):
    assert load(tmp_path) == Settings()


def test_pyproject_table_and_own_file_wins(tmp_path):
    write(tmp_path, "pyproject.toml", '[project]\nname = "x"\n[tool.tarnwick]\nbudget = 3000\nexclude = ["docs/"]\n')
    settings = load(tmp_path)
    assert (settings.budget, settings.exclude, settings.source) == (3000, ("docs/",), str(tmp_path / "pyproject.toml"))
    write(tmp_path, ".tarnwick.toml", 'languages = ["Python", "go"]\nmax-file-size = 4096\n')
    settings = load(tmp_path)
    assert (settings.budget, settings.languages, settings.max_file_size) == (None, ("python", "go"), 4096)


def test_pyproject_without_our_table_is_no_settings(tmp_path):
    write(tmp_path, "pyproject.toml", '[tool.black]\nline-length = 100\n')
    assert load(tmp_path) == Settings()


@pytest.mark.parametrize(
    "text, named",
    [
        ("budget = [", "not valid TOML"),
        ('budget = "big"', "budget must be a whole number between 1 and 200000, not 'big'"),
        ("budget = 0", "budget must be a whole number"),
        ("budget = 200001", "budget must be a whole number"),
        ("budget = true", "budget must be a whole number"),
        ("max-file-size = -1", "max-file-size must be a whole number at least 1"),
        ("exclude = [1]", "exclude must be a list of non-empty strings"),
        ('exclude = [""]', "exclude must be a list of non-empty strings"),
        ('languages = ["cobol"]', "languages: unknown language 'cobol'"),
    ],
)
def test_an_unusable_file_is_one_line_naming_file_and_key(tmp_path, text, named):
    write(tmp_path, ".tarnwick.toml", text + "\n")
    with pytest.raises(SettingsError) as caught:
        load(tmp_path)
    message = str(caught.value)
    assert message.startswith(str(tmp_path / ".tarnwick.toml") + ": ") and named in message
    assert "\n" not in message


def test_unknown_keys_are_warnings_with_a_suggestion(tmp_path):
    write(tmp_path, "pyproject.toml", "[tool.tarnwick]\nbudgte = 10\nbudget = 900\ncolour = 1\n")
    settings = load(tmp_path)
    assert settings.budget == 900
    path = tmp_path / "pyproject.toml"
    assert settings.warnings == (
        f"{path}: unknown key tool.tarnwick.budgte (did you mean 'budget'?); ignored",
        f"{path}: unknown key tool.tarnwick.colour; ignored",
    )


def test_a_settings_file_that_leads_out_of_the_project_is_not_read(tmp_path):
    outside = tmp_path / "elsewhere.toml"
    outside.write_text("budget = [\n")
    project = tmp_path / "p"
    project.mkdir()
    os.symlink(outside, project / ".tarnwick.toml")
    assert load(project) == Settings()


def test_a_fifo_is_refused_without_blocking(tmp_path):
    os.mkfifo(tmp_path / ".tarnwick.toml")
    with pytest.raises(SettingsError, match="cannot read"):
        load(tmp_path)
