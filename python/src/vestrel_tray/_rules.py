"""What the tray program skips, refuses or cuts in the state file, as plain checks.

Each check returns None for an input the tray takes as written, or the reason it would not. The
tray counts lengths in UTF-16 code units, as its Windows strings do; so does this module.
"""

from __future__ import annotations

import re
import unicodedata
from typing import Literal, Optional, Tuple, get_args

# The words the tray tells apart, as types: a type checker catches a misspelt one where it is
# written, and the package checks them again when they are set.
Kind = Literal["danger", "info", "nudge"]
Status = Literal["running", "update_waiting"]
Role = Literal["server"]
LabelName = Literal["title", "stopped", "running", "update_waiting", "open", "stop", "mute"]
StatusLabel = Literal["stopped", "running", "update_waiting"]
MenuLabel = Literal["open", "stop", "mute"]

KINDS: Tuple[Kind, ...] = get_args(Kind)
STATUSES: Tuple[Status, ...] = get_args(Status)
LABEL_NAMES: Tuple[LabelName, ...] = get_args(LabelName)
STATUS_LABELS: Tuple[StatusLabel, ...] = get_args(StatusLabel)
MENU_LABELS: Tuple[MenuLabel, ...] = get_args(MenuLabel)

# The tray reads notice1 up to notice50.
MAX_NOTICES = 50
# The profile reader returns at most this many code units of a value.
MAX_VALUE_LENGTH = 4095
# What the notification area shows: tooltip, balloon title, balloon text.
TOOLTIP_LENGTH = 127
BALLOON_TITLE_LENGTH = 63
BALLOON_BODY_LENGTH = 255
# The longest address the tray hands to the shell.
MAX_URL_LENGTH = 2048
SCREEN_PREFIX = "app:"
MAX_SCREEN_LENGTH = 32

# What the profile functions take for blanks around a key name.
PROFILE_BLANKS = " \t\n\v\f\r\x1a"
# A heartbeat counts as fresh this many seconds either side of now, both bounds included: older,
# the tray shows the application as stopped.
HEARTBEAT_TOLERANCE = 90


def utf16_length(text: str) -> int:
    """The length of text in UTF-16 code units (a character beyond U+FFFF counts two)."""
    return len(text.encode("utf-16-le", "surrogatepass")) // 2


def utf16_prefix(text: str, length: int) -> str:
    """The first `length` UTF-16 code units of text, as the tray's fixed buffers keep them."""
    data = text.encode("utf-16-le", "surrogatepass")[:2 * length]
    return data.decode("utf-16-le", "surrogatepass")


def as_read(value: str) -> str:
    """A value as the tray reads it back: the profile reader returns at most 4095 code units,
    and Wine's reader one less of a value of exactly 4095 written between quotes."""
    if needs_quotes(value) and utf16_length(value) == MAX_VALUE_LENGTH:
        return utf16_prefix(value, MAX_VALUE_LENGTH - 1)
    return utf16_prefix(value, MAX_VALUE_LENGTH)


def line_break_problem(value: str) -> Optional[str]:
    """A profile value ends at a line break or a NUL: the rest would be lost."""
    for character, name in (("\r", "a carriage return"), ("\n", "a line feed"),
                            ("\0", "a NUL character")):
        if character in value:
            return f"it contains {name}, where the profile reader ends the value"
    return None


def notice_id_problem(notice_id: str) -> Optional[str]:
    """Why the tray would skip a notice with this id (as it reads it), or None."""
    if not notice_id:
        return "it is empty"
    if notice_id[0] in PROFILE_BLANKS or notice_id[-1] in PROFILE_BLANKS:
        return ("it begins or ends with a blank, which the seen file drops from its key, so its "
                "mark would be shared or never found again")
    if "=" in notice_id:
        return "it contains '=', which ends the key when the seen file is read back"
    if "\r" in notice_id or "\n" in notice_id:
        return "it contains a line break, which ends its line in the seen file"
    if notice_id[0] == "[":
        return "it begins with '[', which opens a section in the seen file"
    if notice_id[0] == ";":
        return "it begins with ';', which makes a comment line in the seen file"
    return None


def id_key(notice_id: str) -> str:
    """The form under which the seen file finds an id: letter case does not count there.

    Windows and Wine compare profile keys code unit by code unit, mapped to one case. Each
    character is mapped to upper case and then to lower case here, so that ids that either
    mapping would confuse come out the same. Only one-to-one mappings inside the Basic
    Multilingual Plane count: the platform maps code units, never one character to several.
    """
    return "".join(_fold(character) for character in notice_id)


def _fold(character: str) -> str:
    if ord(character) > 0xFFFF:
        return character
    for mapping in (str.upper, str.lower):
        mapped = mapping(character)
        if len(mapped) == 1 and ord(mapped) <= 0xFFFF:
            character = mapped
    return character


def kind_problem(kind: str) -> Optional[str]:
    if kind not in KINDS:
        return "the tray shows only the kinds 'danger', 'info' and 'nudge', written exactly so"
    return None


def screen_name_problem(screen: str) -> Optional[str]:
    if not screen:
        return "the screen name after 'app:' is empty"
    if utf16_length(screen) > MAX_SCREEN_LENGTH:
        return f"the screen name after 'app:' is longer than {MAX_SCREEN_LENGTH} letters"
    if any(not "a" <= character <= "z" for character in screen):
        return "a screen name after 'app:' may hold only the letters a to z"
    return None


# A host name as the program's build takes it: labels of letters, digits and hyphens, joined by
# dots. The program puts "https://" and "https://www." before it.
_HOST_LABEL = r"[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?"
_HOST_NAME = re.compile(rf"{_HOST_LABEL}(?:\.{_HOST_LABEL})*")


def web_host_problem(host: str) -> Optional[str]:
    """Why a web host could not be the program's, or None."""
    if not host:
        return "it is empty"
    if "://" in host or "/" in host:
        return ("give the host alone, such as 'example.org': the program puts 'https://' and "
                "'https://www.' before it")
    if not _HOST_NAME.fullmatch(host):
        return "a host name holds only letters, digits, hyphens and dots (no port, no blank)"
    return None


def url_problem(target: str, web_host: str) -> Optional[str]:
    """Why the tray would not hand this address to the shell, or None (IsAllowedUrl)."""
    if utf16_length(target) > MAX_URL_LENGTH:
        return f"it is longer than {MAX_URL_LENGTH} characters"
    for character in target:
        if character == '"' or character == " " or ord(character) < 0x20 or character == "\x7f":
            return ("it contains a double quote, a blank or a control character; "
                    "percent-encode them (%22, %20)")
    for origin in (f"https://{web_host}", f"https://www.{web_host}"):
        if target == origin or target.startswith(origin + "/"):
            return None
    return (f"it is not on https://{web_host} or https://www.{web_host} "
            "(alone or followed by '/')")


def target_problem(target: str, web_host: str) -> Optional[str]:
    """Why a click on the balloon would do nothing with this target, or None."""
    if not target:
        return None
    if target.startswith(SCREEN_PREFIX):
        return screen_name_problem(target[len(SCREEN_PREFIX):])
    return url_problem(target, web_host)


def needs_quotes(value: str) -> bool:
    """Whether a value must be written between double quotes to be read back as it is.

    The profile reader drops blanks around a value and one pair of quotes that encloses it;
    quotes around the value keep both. Any character that some reader might take for a blank
    counts here: the extra quotes cost nothing.
    """
    if not value:
        return False
    for character in (value[0], value[-1]):
        if character in "\"'" or character in PROFILE_BLANKS or character.isspace():
            return True
        if unicodedata.category(character) in ("Cc", "Cf", "Zs", "Zl", "Zp"):
            return True
    return False
