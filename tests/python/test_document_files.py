"""save_yaml and load_yaml on the file system: operating-system errors and the atomic save."""

import os
import pathlib
import shutil
import stat
import subprocess
import sys
import tempfile

import pytest

import vedov
from document_helpers import DATA, PREFIX, panic_message

EMPTY = (DATA / "empty.yaml").read_text()
RICH = (DATA / "every_variant.yaml").read_text()


def rich_system():
    return vedov.SystemGeom.load_yaml(str(DATA / "every_variant.yaml"))


def os_error(code, kind, message):
    return f'Os {{ code: {code}, kind: {kind}, message: "{message}" }}'


MISSING = os_error(2, "NotFound", "No such file or directory")
DIRECTORY = os_error(21, "IsADirectory", "Is a directory")


def link(path, target):
    path.symlink_to(target)
    return path


# What a name points at (beside an empty directory "dir"), and what both load and save meet there.
NAMES = {
    "missing_directory": (lambda t: t / "missing" / "s.yaml", MISSING),
    "directory": (lambda t: t / "dir", DIRECTORY),
    "directory_slash": (lambda t: f"{t / 'dir'}/", DIRECTORY),
    "dangling_link": (lambda t: link(t / "dangling", t / "nowhere" / "target.yaml"), MISSING),
    "link_loop": (lambda t: link(t / "loop", t / "loop"),
                  os_error(40, "FilesystemLoop", "Too many levels of symbolic links")),
    "too_long": (lambda t: t / ("n" * 300), os_error(36, "InvalidFilename", "File name too long")),
}


@pytest.mark.parametrize("name, error", NAMES.values(), ids=NAMES.keys())
def test_operating_system_errors_create_nothing(tmp_path, empty, name, error):
    (tmp_path / "dir").mkdir()
    target = str(name(tmp_path))
    before = sorted(os.listdir(tmp_path))
    assert panic_message(lambda: vedov.SystemGeom.load_yaml(target)) == error
    assert panic_message(lambda: empty.save_yaml(target)) == error
    assert sorted(os.listdir(tmp_path)) == before and os.listdir(tmp_path / "dir") == []


NUL_NAME = 'Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'


def test_names_with_nul_are_refused_untouched(tmp_path, empty):
    (tmp_path / "a.yaml").write_text(EMPTY)
    name = str(tmp_path / "a.yaml") + "\0tail"
    assert panic_message(lambda: vedov.SystemGeom.load_yaml(name)) == NUL_NAME
    assert panic_message(lambda: rich_system().save_yaml(name)) == NUL_NAME
    assert (tmp_path / "a.yaml").read_text() == EMPTY  # not cut short at the NUL
    assert sorted(os.listdir(tmp_path)) == ["a.yaml"]


@pytest.mark.parametrize("name", ["bad\udcffname.yaml", "\ud800.yaml"])
def test_names_that_are_not_utf8_are_refused_before_any_file_is_touched(tmp_path, empty, name):
    target = str(tmp_path / name)
    with pytest.raises(UnicodeEncodeError):
        empty.save_yaml(target)
    with pytest.raises(UnicodeEncodeError):
        vedov.SystemGeom.load_yaml(target)
    assert os.listdir(tmp_path) == []


def test_filename_must_be_a_string(tmp_path, empty):
    with pytest.raises(TypeError) as info:
        empty.save_yaml(tmp_path / "s.yaml")
    assert str(info.value) == "argument 'filename': 'PosixPath' object is not an instance of 'str'"
    with pytest.raises(TypeError, match="^argument 'filename': 'bytes' object"):
        vedov.SystemGeom.load_yaml(b"s.yaml")
    with pytest.raises(TypeError, match=r"load_yaml\(\) missing 1 required positional"):
        vedov.SystemGeom.load_yaml()


def test_save_replaces_content_and_leaves_nothing_else(tmp_path):
    target = tmp_path / "s.yaml"
    target.write_text("old content that is longer than the new document " * 100)
    vedov.SystemGeom.new_empty().save_yaml(str(target))
    assert target.read_text() == EMPTY
    assert os.listdir(tmp_path) == ["s.yaml"]


def test_relative_names_are_relative_to_the_working_directory(tmp_path, monkeypatch, empty):
    monkeypatch.chdir(tmp_path)
    empty.save_yaml("here.yaml")
    assert (tmp_path / "here.yaml").read_text() == EMPTY
    assert type(vedov.SystemGeom.load_yaml("here.yaml")) is vedov.SystemGeom


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o604, 0o755])
def test_save_keeps_permission_bits(tmp_path, mode):
    target = tmp_path / "s.yaml"
    target.write_text(EMPTY)
    target.chmod(mode)
    rich_system().save_yaml(str(target))
    assert stat.S_IMODE(target.stat().st_mode) == mode
    assert target.read_text() == RICH


def test_new_file_gets_the_usual_mode(tmp_path, empty):
    umask = os.umask(0o027)
    try:
        empty.save_yaml(str(tmp_path / "new.yaml"))
    finally:
        os.umask(umask)
    assert stat.S_IMODE((tmp_path / "new.yaml").stat().st_mode) == 0o640


def test_save_through_a_symbolic_link_replaces_its_target(tmp_path):
    (tmp_path / "real.yaml").write_text(EMPTY)
    (tmp_path / "sub").mkdir()
    link = tmp_path / "sub" / "link.yaml"
    link.symlink_to("../real.yaml")
    rich_system().save_yaml(str(link))
    assert link.is_symlink()
    assert (tmp_path / "real.yaml").read_text() == RICH
    # A dangling link gets its target created.
    (tmp_path / "dangling.yaml").symlink_to("created.yaml")
    rich_system().save_yaml(str(tmp_path / "dangling.yaml"))
    assert (tmp_path / "created.yaml").read_text() == RICH


def run_python(code):
    """Runs code in a fresh interpreter; returns its standard output."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env=env, cwd="/", timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


# Root passes every permission check: the saving process then gives up its privileges.
DROP_PRIVILEGES = "import os\nif os.geteuid() == 0:\n    os.setgid(65534)\n    os.setuid(65534)\n"

SAVE_AND_REPORT = """
import vedov
system = vedov.SystemGeom.load_yaml({source!r})
{prepare}
try:
    system.save_yaml({target!r})
    print("saved")
except BaseException as error:
    print(str(error))
"""


def test_failed_write_keeps_the_old_document(tmp_path):
    target = tmp_path / "s.yaml"
    target.write_text(EMPTY)
    # Files may not grow past 1000 bytes: the new document cannot be written completely.
    code = ("import resource, signal\nsignal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
            "resource.setrlimit(resource.RLIMIT_FSIZE, (1000, 1000))\n")
    code += SAVE_AND_REPORT.format(source=str(DATA / "every_variant.yaml"), target=str(target),
                                   prepare="")
    assert len(RICH) > 1000
    output = run_python(code)
    assert "kind: FileTooLarge" in output
    assert target.read_text() == EMPTY
    assert os.listdir(tmp_path) == ["s.yaml"]


@pytest.fixture
def shared_directory():
    """A directory others may enter but not write to, outside the private test area."""
    directory = pathlib.Path(tempfile.mkdtemp(dir="/tmp"))
    directory.chmod(0o755)
    yield directory
    shutil.rmtree(directory)


def test_files_without_permission_are_refused(shared_directory):
    target, secret = shared_directory / "s.yaml", shared_directory / "secret.yaml"
    for path, mode in [(target, 0o444), (secret, 0)]:
        path.write_text(EMPTY)
        path.chmod(mode)
    shared_directory.chmod(0o777)  # the directory would allow a replacement; the file does not
    load_secret = f"try:\n    vedov.SystemGeom.load_yaml({str(secret)!r})\n" \
                  "except BaseException as error:\n    print(str(error))\n"
    output = run_python(SAVE_AND_REPORT.format(source=str(DATA / "every_variant.yaml"),
                                               target=str(target),
                                               prepare=DROP_PRIVILEGES + load_secret))
    denied = PREFIX + os_error(13, "PermissionDenied", "Permission denied")
    assert output.splitlines() == [denied, denied]
    assert target.read_text() == EMPTY
    assert sorted(os.listdir(shared_directory)) == ["s.yaml", "secret.yaml"]


def test_writable_file_in_read_only_directory_is_written_in_place(shared_directory):
    target = shared_directory / "s.yaml"
    target.write_text(EMPTY)
    target.chmod(0o666)
    shared_directory.chmod(0o555)
    output = run_python(SAVE_AND_REPORT.format(source=str(DATA / "every_variant.yaml"),
                                               target=str(target), prepare=DROP_PRIVILEGES))
    shared_directory.chmod(0o755)
    assert output == "saved"
    assert target.read_text() == RICH
