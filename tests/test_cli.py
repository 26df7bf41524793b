"""The command line: files, -c, the prompt, --cast, --history and exit statuses."""

import subprocess
import sys

import pytest


def run(*args, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "tessel.tcl", *args],
        input=stdin,
        capture_output=True,
        text=True,
        timeout=60,
    )


@pytest.mark.parametrize(
    "script, cast, shown",
    [
        ("expr {6 * 7}", False, "42"),
        ("expr {6 * 7}", True, "42"),
        ("list a {b c}", True, "'a {b c}'"),  # text that is no keyed list stays text
        ("keylset k a 1 b.c 2; set k", True, "NestMap({'a': '1', 'b': NestMap({'c': '2'})})"),
        ("expr {1.5}", True, "1.5"),
        ("set x {}", False, ""),  # an empty result prints nothing
    ],
)
def test_script_results(script, cast, shown):
    done = run("-c", script, *(["--cast"] if cast else []))
    assert done.returncode == 0, done.stderr
    assert done.stdout == (shown + "\n" if shown else "")


def test_tcl_error_prints_the_trace_and_fails():
    done = run("-c", "proc f {} { error boom }; f")
    assert done.returncode == 1
    assert done.stderr.startswith("boom\n    while executing")
    assert '"f"' in done.stderr


def test_file_runs_with_tclx_and_startup_hooks(tmp_path):
    script = tmp_path / "check.tcl"
    script.write_text("keylset k a 1\nlist [keylget k a] [namespace exists ::glueKit::_cbBkup]\n")
    done = run(str(script))
    assert (done.returncode, done.stdout) == (0, "1 1\n"), done.stderr


def test_prompt_reads_multi_line_commands_and_survives_errors():
    done = run(stdin="proc f {} {\n  return 7\n}\nerror boom\nf\n")
    assert done.returncode == 0
    assert done.stdout == "7\n"
    assert "boom" in done.stderr


def test_history_lists_the_last_entries():
    done = run("-c", "set a 1", "--history", "2")
    lines = done.stdout.splitlines()
    assert lines[0] == "1"
    assert len(lines) == 2 and lines[1].endswith(": set a 1")


def test_help_names_every_option():
    done = run("--help")
    assert done.returncode == 0
    for word in ("FILE", "-c SCRIPT", "--cast", "--history N", "Interpreter.eval"):
        assert word in done.stdout


def test_console_script_is_installed_with_the_package():
    import shutil

    exe = shutil.which("tessel-tcl") or shutil.which("tessel-tcl", path=str(__import__("pathlib").Path(sys.executable).parent))
    if exe is None:
        pytest.skip("running from the source tree: no console script installed")
    done = subprocess.run([exe, "-c", "expr {1 + 1}"], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, "2\n")
