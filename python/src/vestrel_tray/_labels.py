"""The labels: every text of the tooltip and the menu, checked when it is set."""

from __future__ import annotations

import threading
from typing import Dict, Iterator, Mapping, Optional, Set, Tuple

from . import _rules
from ._messages import ContractError, check_text, warn_if_cut, warn_if_longer
from ._rules import LabelName


class Labels(Mapping[LabelName, str]):
    """The labels of the state file, by name without "label_": title, stopped, running,
    update_waiting, open, stop, mute.

        state.labels.update(title="Vestrel", running="Running", open="Open Vestrel")
        state.labels["mute"] = "Mute tips"
        del state.labels["stop"]

    A label is written once it is set (the empty text included) and left out once deleted; the
    tray shows nothing for a label that is missing or empty. A name the tray does not read, a
    text that is not a str, or a line break raises at once (ContractError, TypeError), and a
    type checker catches a misspelt name where it is written. Texts longer than the tray shows
    are kept whole and reported when they are set (warnings.warn, and the logger
    "vestrel_tray").
    """

    def __init__(self, lock: threading.RLock) -> None:
        self._texts: Dict[LabelName, str] = {}
        self._lock = lock

    def __getitem__(self, name: LabelName) -> str:
        return self._texts[name]

    def __iter__(self) -> Iterator[LabelName]:
        with self._lock:
            return iter([name for name in _rules.LABEL_NAMES if name in self._texts])

    def __len__(self) -> int:
        return len(self._texts)

    def __repr__(self) -> str:
        return f"Labels({dict(self)!r})"

    def __setitem__(self, name: LabelName, text: str) -> None:
        self._set({name: text})

    def __delitem__(self, name: LabelName) -> None:
        with self._lock:
            del self._texts[_label_name(name)]

    def update(self, labels: Mapping[LabelName, str] = {}, /, *, title: Optional[str] = None,
               stopped: Optional[str] = None, running: Optional[str] = None,
               update_waiting: Optional[str] = None, open: Optional[str] = None,
               stop: Optional[str] = None, mute: Optional[str] = None) -> None:
        """Sets the labels given, from a mapping and by keyword (a keyword given as None is
        left as it is). Nothing is set when one of them is refused."""
        texts: Dict[LabelName, str] = dict(labels)
        keywords: Tuple[Tuple[LabelName, Optional[str]], ...] = (
            ("title", title), ("stopped", stopped), ("running", running),
            ("update_waiting", update_waiting), ("open", open), ("stop", stop), ("mute", mute))
        for name, text in keywords:
            if text is not None:
                texts[name] = text
        self._set(texts)

    def clear(self) -> None:
        """Deletes every label."""
        with self._lock:
            self._texts.clear()

    def _set(self, texts: Mapping[LabelName, str]) -> None:
        for name, text in texts.items():
            check_text(f"label {_label_name(name)!r}", text)
        with self._lock:
            before = dict(self._texts)
            self._texts.update(texts)
            after = dict(self._texts)
        _warn_of_changed(before, after)

    def snapshot(self) -> Tuple[Tuple[LabelName, str], ...]:
        """The labels set, in the order the state file lists them."""
        with self._lock:
            return tuple((name, self._texts[name]) for name in _rules.LABEL_NAMES
                         if name in self._texts)


def _label_name(name: object) -> LabelName:
    for known in _rules.LABEL_NAMES:
        if name == known:
            return known
    raise ContractError(f"label {name!r}: the tray reads only the labels "
                        f"{', '.join(_rules.LABEL_NAMES)}")


def tooltip(labels: Mapping[LabelName, str], status: _rules.StatusLabel) -> str:
    """The tooltip of a status as the tray puts it together: title, line feed, status label."""
    return "\n".join(text for text in (labels.get("title", ""), labels.get(status, "")) if text)


def _warn_of_changed(before: Mapping[LabelName, str], after: Mapping[LabelName, str]) -> None:
    """Reports the tooltips and menu labels that a change made longer than the tray shows,
    each once."""
    changed: Set[LabelName] = {name for name in _rules.LABEL_NAMES
                               if before.get(name) != after.get(name)}
    for status in _rules.STATUS_LABELS:
        if "title" in changed or status in changed:
            warn_if_longer(f"the tooltip of status {status!r} (title, line feed, label)",
                           tooltip(after, status), _rules.TOOLTIP_LENGTH, "the tooltip shows")
    for name in _rules.MENU_LABELS:
        if name in changed:
            warn_if_cut(f"label {name!r}", after.get(name, ""))
