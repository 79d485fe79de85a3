"""Why the tray did not start, in words an application can show or log: the Windows errors with
which process creation refuses the program, and the exit codes with which it ends at once."""

from __future__ import annotations

from typing import Dict, Literal, Optional, Tuple

StartFailure = Literal[
    "smart_app_control",   # Smart App Control or an App Control policy blocked the program
    "blocked_by_policy",   # a software restriction or AppLocker policy blocked it
    "quarantined",         # an antivirus found it infected, or removed it
    "missing",             # the file is not there (an antivirus may have taken it away)
    "not_a_program",       # not a program this Windows can run, or a damaged file
    "access_denied",       # Windows denied running it
    "refused",             # another Windows error
    "bad_command_line",    # exit code 2: an option missing or empty
    "no_window",           # exit code 3: no hidden window
    "ended",               # another exit code at once
    "old_tray_runs",       # the tray of the old copy in the home did not end
    "home",                # the copy in the home could not be made
]

# Errors of CreateProcess (winerror.h) that refuse the program itself.
ERROR_FILE_NOT_FOUND = 2
ERROR_PATH_NOT_FOUND = 3
ERROR_ACCESS_DENIED = 5
ERROR_BAD_FORMAT = 11
ERROR_BAD_EXE_FORMAT = 193
ERROR_EXE_MACHINE_TYPE_MISMATCH = 216
ERROR_VIRUS_INFECTED = 225
ERROR_VIRUS_DELETED = 226
ERROR_ACCESS_DISABLED_NO_SAFER_UI_BY_POLICY = 786
ERROR_ACCESS_DISABLED_BY_POLICY = 1260
ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION = 4551
ERROR_SYSTEM_INTEGRITY_REPUTATION_MALICIOUS = 4556
ERROR_SYSTEM_INTEGRITY_REPUTATION_PUA = 4557
ERROR_SYSTEM_INTEGRITY_REPUTATION_DANGEROUS_EXT = 4558
ERROR_SYSTEM_INTEGRITY_REPUTATION_OFFLINE = 4559
ERROR_SYSTEM_INTEGRITY_REPUTATION_UNFRIENDLY_FILE = 4580
ERROR_SYSTEM_INTEGRITY_REPUTATION_UNATTAINABLE = 4581
ERROR_SYSTEM_INTEGRITY_REPUTATION_EXPLICIT_DENY_FILE = 4582

# The exit code of a process whose image, or a library it loads, failed the code integrity
# check (NTSTATUS, as GetExitCodeProcess reports it).
STATUS_INVALID_IMAGE_HASH = 0xC0000428

# The program's own exit codes (README "Command line").
EXIT_BAD_COMMAND_LINE = 2
EXIT_NO_WINDOW = 3

_SIGNED_RELEASE = ("A release of the program signed with a certificate of a trusted authority "
                   "runs under Smart App Control; Smart App Control has no exception for one "
                   "program, so until then it can only be turned off as a whole (Windows "
                   "Security, App & browser control)")
_REINSTALL = ("reinstall the package (python -m pip install --force-reinstall vestrel_tray) "
              "so that the program is there again")

# winerror: (reason, what happened, what to do)
_REFUSALS: Dict[int, Tuple[StartFailure, str, str]] = {
    ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION: (
        "smart_app_control",
        "an application control policy blocked it (Smart App Control, or an App Control "
        "policy of the organisation)",
        _SIGNED_RELEASE + "; under an organisation's policy, its administrators can allow "
        "the program's publisher"),
    ERROR_SYSTEM_INTEGRITY_REPUTATION_MALICIOUS: (
        "smart_app_control", "Smart App Control blocked it as malicious", _SIGNED_RELEASE),
    ERROR_SYSTEM_INTEGRITY_REPUTATION_PUA: (
        "smart_app_control", "Smart App Control blocked it as potentially unwanted",
        _SIGNED_RELEASE),
    ERROR_SYSTEM_INTEGRITY_REPUTATION_DANGEROUS_EXT: (
        "smart_app_control", "Smart App Control blocked it for its file type", _SIGNED_RELEASE),
    ERROR_SYSTEM_INTEGRITY_REPUTATION_UNFRIENDLY_FILE: (
        "smart_app_control",
        "Smart App Control blocked it: the program has no signature it trusts and no reputation",
        _SIGNED_RELEASE),
    ERROR_SYSTEM_INTEGRITY_REPUTATION_EXPLICIT_DENY_FILE: (
        "smart_app_control", "Smart App Control blocked this file explicitly", _SIGNED_RELEASE),
    ERROR_SYSTEM_INTEGRITY_REPUTATION_OFFLINE: (
        "smart_app_control",
        "Smart App Control could not reach its reputation service to judge the program",
        "Start it again once the computer is online. " + _SIGNED_RELEASE),
    ERROR_SYSTEM_INTEGRITY_REPUTATION_UNATTAINABLE: (
        "smart_app_control",
        "Smart App Control could not obtain the program's reputation",
        "Start it again later. " + _SIGNED_RELEASE),
    ERROR_ACCESS_DISABLED_BY_POLICY: (
        "blocked_by_policy",
        "a policy of this computer blocks it (a software restriction or AppLocker policy)",
        "Ask the computer's administrator to allow the program (its path or its publisher)"),
    ERROR_ACCESS_DISABLED_NO_SAFER_UI_BY_POLICY: (
        "blocked_by_policy",
        "a software restriction policy of this computer blocks it",
        "Ask the computer's administrator to allow the program (its path or its publisher)"),
    ERROR_VIRUS_INFECTED: (
        "quarantined",
        "an antivirus program reports it as infected or unwanted and keeps it from running",
        "Check the antivirus program's quarantine: restore the program and allow it there, "
        "or " + _REINSTALL),
    ERROR_VIRUS_DELETED: (
        "quarantined", "an antivirus program found it infected and removed it",
        "Check the antivirus program's quarantine: restore the program and allow it there, "
        "or " + _REINSTALL),
    ERROR_FILE_NOT_FOUND: (
        "missing", "the file is not there (an antivirus program may have taken it away)",
        "Check the antivirus program's quarantine, or " + _REINSTALL),
    ERROR_PATH_NOT_FOUND: (
        "missing", "its folder is not there", _REINSTALL[0].upper() + _REINSTALL[1:]),
    ERROR_BAD_EXE_FORMAT: (
        "not_a_program",
        "it is not a program for this Windows: the program is for 64-bit Windows on x64 or "
        "Arm64 processors, or the file is damaged",
        "Install the win_amd64 wheel on 64-bit Windows, or " + _REINSTALL),
    ERROR_EXE_MACHINE_TYPE_MISMATCH: (
        "not_a_program",
        "it is not a program for this Windows: the program is for 64-bit Windows on x64 or "
        "Arm64 processors",
        "Install the package on 64-bit Windows"),
    ERROR_BAD_FORMAT: (
        "not_a_program", "the file is no program Windows can load (damaged?)",
        _REINSTALL[0].upper() + _REINSTALL[1:]),
    ERROR_ACCESS_DENIED: (
        "access_denied",
        "Windows denied running it (an antivirus program scanning or holding it, or the "
        "folder's permissions)",
        "Start it again in a moment; if it stays denied, check the antivirus program and "
        "that the user may run programs from that folder"),
}


class TrayStartError(OSError):
    """The tray program did not start, or ended at once: the message names the cause and the
    remedy.

    reason: the cause (StartFailure); program: the program's path; windows_error: the Windows
    error with which process creation refused it, if it did; exit_code: the exit code with
    which it ended at once, if it did. The error that Python raised, if any, is __cause__."""

    def __init__(self, message: str, *, reason: StartFailure, program: str,
                 windows_error: Optional[int] = None, exit_code: Optional[int] = None) -> None:
        super().__init__(message)
        self.reason: StartFailure = reason
        self.program = program
        self.windows_error = windows_error
        self.exit_code = exit_code


def windows_error_of(error: OSError) -> Optional[int]:
    """The Windows error code of an OSError raised on Windows (None elsewhere)."""
    code = getattr(error, "winerror", None)
    return code if isinstance(code, int) else None


def refused(program: str, error: OSError) -> TrayStartError:
    """The error for a start that Windows refused with error."""
    code = windows_error_of(error)
    key = code
    if key is None and isinstance(error, FileNotFoundError):
        key = ERROR_FILE_NOT_FOUND
    known = _REFUSALS.get(key) if key is not None else None
    text = error.strerror or str(error)
    detail = f"Windows error {code}: {text}" if code is not None else text
    if known is None:
        return TrayStartError(f"the tray program {program} did not start: Windows refused it "
                              f"({detail})", reason="refused", program=program,
                              windows_error=code)
    reason, what, remedy = known
    return TrayStartError(f"the tray program {program} did not start: {what} ({detail}). "
                          f"{remedy}.", reason=reason, program=program, windows_error=code)


def ended_at_once(program: str, code: int) -> TrayStartError:
    """The error for a program that ended at once with a code other than 0."""
    if code == EXIT_BAD_COMMAND_LINE:
        return TrayStartError(
            f"the tray program {program} ended at once with exit code 2: an option of its "
            "command line was missing or empty. The program and this package do not match "
            "(a program of another version, passed as exe=?); use the program that comes "
            "with this package's wheel", reason="bad_command_line", program=program,
            exit_code=code)
    if code == EXIT_NO_WINDOW:
        return TrayStartError(
            f"the tray program {program} ended at once with exit code 3: it could not create "
            "its hidden window. It needs the desktop of a signed-in user (not a service's "
            "session); start it from the application that the user runs", reason="no_window",
            program=program, exit_code=code)
    if code == STATUS_INVALID_IMAGE_HASH:
        return TrayStartError(
            f"the tray program {program} ended at once with exit code {code:#010x} "
            "(STATUS_INVALID_IMAGE_HASH): code integrity (Smart App Control or an App Control "
            f"policy) refused its image or a library it loads. {_SIGNED_RELEASE}.",
            reason="smart_app_control", program=program, exit_code=code)
    return TrayStartError(
        f"the tray program {program} ended at once with exit code {code} ({code:#x})",
        reason="ended", program=program, exit_code=code)
