"""Helpers shared by the document tests: golden files, loading text, catching PanicException."""

import pathlib

import pytest

import vedov

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"
PREFIX = "called `Result::unwrap()` on an `Err` value: "

# The keys every document needs, with empty values, around which tests place their own.
EMPTY_HEAD = "meas: []\nphi: []\nts: []\ncom: []\ncov_model: []\n"
EMPTY_TAIL = "meas_lines: []\nsimul_dt: 0.0\nmeas_dt: 0.0\n"


def panic_message(call):
    """Runs call(), which must raise PanicException; returns its message without the prefix."""
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    message = str(info.value)
    assert message.startswith(PREFIX), message
    return message[len(PREFIX):]


def load_text(tmp_path, text, name="system.yaml"):
    """Loads a system from document text (str or bytes) written to a file."""
    path = tmp_path / name
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return vedov.SystemGeom.load_yaml(str(path))


def saved_text(system, tmp_path, name="saved.yaml"):
    path = tmp_path / name
    system.save_yaml(str(path))
    return path.read_text(encoding="utf-8")
