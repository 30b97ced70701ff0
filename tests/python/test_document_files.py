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
from document_helpers import DATA, panic_message

EMPTY = (DATA / "empty.yaml").read_text()
RICH = (DATA / "every_variant.yaml").read_text()


def rich_system():
    return vedov.SystemGeom.load_yaml(str(DATA / "every_variant.yaml"))


def os_error(code, kind, message):
    return f'Os {{ code: {code}, kind: {kind}, message: "{message}" }}'


def test_load_missing_file(tmp_path):
    message = panic_message(lambda: vedov.SystemGeom.load_yaml(str(tmp_path / "none.yaml")))
    assert message == os_error(2, "NotFound", "No such file or directory")


def test_panic_is_not_an_exception(tmp_path):
    with pytest.raises(BaseException) as info:
        try:
            vedov.SystemGeom.load_yaml(str(tmp_path / "none.yaml"))
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as an Exception")
    assert type(info.value).__name__ == "PanicException"


def test_load_directory(tmp_path):
    message = panic_message(lambda: vedov.SystemGeom.load_yaml(str(tmp_path)))
    assert message == os_error(21, "IsADirectory", "Is a directory")


NUL_NAME = 'Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'


def test_names_with_nul_are_refused_untouched(tmp_path, empty):
    (tmp_path / "a.yaml").write_text(EMPTY)
    name = str(tmp_path / "a.yaml") + "\0tail"
    assert panic_message(lambda: vedov.SystemGeom.load_yaml(name)) == NUL_NAME
    assert panic_message(lambda: rich_system().save_yaml(name)) == NUL_NAME
    assert (tmp_path / "a.yaml").read_text() == EMPTY  # not cut short at the NUL
    assert sorted(os.listdir(tmp_path)) == ["a.yaml"]


def test_save_into_missing_directory_creates_nothing(tmp_path, empty):
    target = tmp_path / "missing" / "s.yaml"
    message = panic_message(lambda: empty.save_yaml(str(target)))
    assert message == os_error(2, "NotFound", "No such file or directory")
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("suffix", ["", "/"])
def test_save_onto_directory(tmp_path, empty, suffix):
    (tmp_path / "dir").mkdir()
    message = panic_message(lambda: empty.save_yaml(str(tmp_path / "dir") + suffix))
    assert message == os_error(21, "IsADirectory", "Is a directory")
    assert os.listdir(tmp_path / "dir") == []


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


def test_read_only_file_is_refused(shared_directory):
    target = shared_directory / "s.yaml"
    target.write_text(EMPTY)
    target.chmod(0o444)
    shared_directory.chmod(0o777)  # the directory would allow a replacement; the file does not
    output = run_python(SAVE_AND_REPORT.format(source=str(DATA / "every_variant.yaml"),
                                               target=str(target), prepare=DROP_PRIVILEGES))
    assert output.endswith(os_error(13, "PermissionDenied", "Permission denied"))
    assert target.read_text() == EMPTY
    assert os.listdir(shared_directory) == ["s.yaml"]


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
