"""The soak test's companion: it rewrites the state file twenty times a second (the program's
resource counters and processor times are in footprint.py)."""

from __future__ import annotations

import random
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

from .companion import StateFile
from .shell import RequestLog

MAX_SECTIONS = 50
KINDS = ("danger", "info", "nudge")


def notice_title(notice_id: str) -> str:
    # The id in the title lets every balloon be traced back to the notice it claims to be.
    return f"Soak {notice_id}"


def notice_body(notice_id: str, kind: str) -> str:
    return f"{kind} notice {notice_id}"


# ---------------------------------------------------------------------------------------------
# The companion


@dataclass
class Listing:
    notice_id: str
    kind: str
    section: int
    first_refresh: int  # refresh count read once the first file that listed it was in place
    since: float


@dataclass
class CompanionLog:
    """Everything the companion listed, and when, in terms of the program's refreshes."""
    kinds: dict[str, str] = field(default_factory=dict)
    # Ids whose listing outlived a whole pass over the notices (see RequestLog).
    read_by_a_pass: set[str] = field(default_factory=set)
    # id -> (section, first refresh, refresh when taken off) of each time it was listed.
    history: dict[str, list[tuple[int, int, int]]] = field(default_factory=dict)
    new_ids: int = 0
    rewrites: int = 0
    largest_listing: int = 0


class Companion(threading.Thread):
    """Rewrites the state file every `period` seconds (fresh heartbeat, a live pid) with a
    changing list of notices, for as long as it runs; the package writes it (self.state).

    Each listed id keeps its section number while it stays listed, and a section that has been
    emptied stays empty for a whole pass before another id takes it. A pass reads the keys of a
    section one by one while files are replaced under it; without that rule it could pair one
    notice's id with another's texts, or miss an id that moved to a section it had already
    read. An id is taken off the list only after a whole pass ran while it was listed, so every
    id listed is due to be shown (unless it is a nudge or was shown before).

    New ids come only while fewer than `backlog` of them wait for their balloon, so that the
    program's queue stays bounded and the readings of its memory find it alike."""

    def __init__(self, path: Path, pid: int, labels: dict[str, str], log: RequestLog,
                 relist_pool: list[str], *, seed: int, backlog: int = 30,
                 period: float = 0.05):
        super().__init__(name="companion", daemon=True)
        self.state = StateFile(path)
        self.state.pid = pid
        self.state.labels.update(**labels)
        self.requests = log
        self.backlog = backlog
        self.period = period
        self.random = random.Random(seed)
        self.record = CompanionLog()
        self._relist_pool = list(relist_pool)
        self._slots: dict[int, Listing] = {}
        self._emptied: dict[int, int] = {}  # section -> refresh count once it was emptied
        self._target: int | None = MAX_SECTIONS
        self._fill = True
        # The bounds reached since the length was last set: both must be reached for full().
        self._reached: set[str] = set()
        self._drawn = 10
        self._adding = True
        self._halt = threading.Event()
        self._lock = threading.Lock()
        self.error: BaseException | None = None

    # -- control from the test ---------------------------------------------------------------

    def list_at_most(self, target: int | None, *, fill: bool = False) -> None:
        """A fixed length of the list, or None: now short, now long lists, chosen at random.
        With fill, ids listed before make up the length while new ones are held back."""
        with self._lock:
            self._target = target
            self._fill = fill
            self._adding = True
            self._reached = set()

    def stop_adding(self) -> None:
        """From now on the list only shrinks, to nothing once every id was read by a pass."""
        with self._lock:
            self._adding = False

    def idle(self) -> bool:
        with self._lock:
            return not self._adding and not self._slots

    def full(self) -> bool:
        """Since the length was last set, the list has been as long as the program reads and
        the notices waiting for a balloon as many as the companion allows. Not necessarily both
        at once: ids leave and come back all the time, and waiting for a moment with both could
        take thousands of ticks (measured: 3,000)."""
        with self._lock:
            return self._reached == {"list", "backlog"}

    def stop(self) -> None:
        self._halt.set()
        self.join(timeout=10)

    # -- the thread --------------------------------------------------------------------------

    def run(self) -> None:
        """A rewrite every period, on a schedule: the time a rewrite takes does not slow the
        rate."""
        try:
            due = time.monotonic()
            while not self._halt.is_set():
                with self._lock:
                    self._rewrite()
                due = max(due + self.period, time.monotonic())
                self._halt.wait(due - time.monotonic())
        except BaseException as error:  # the test reports it; a thread cannot
            self.error = error

    def _rewrite(self) -> None:
        refreshes = self.requests.poll()
        now = time.monotonic()
        if self.random.random() < 0.02:
            self._drawn = self.random.choice((0, 1, 3, 6, 10, 20, 35))
        target = self._drawn if self._target is None else self._target
        emptied = []
        for number, listing in list(self._slots.items()):
            if refreshes < listing.first_refresh + 2 or now - listing.since < 0.3:
                continue
            self.record.read_by_a_pass.add(listing.notice_id)
            surplus = len(self._slots) > target
            if not self._adding or self.random.random() < (0.2 if surplus else 0.01):
                del self._slots[number]
                self.state.remove_notice(listing.notice_id)
                emptied.append(listing)
        added = self._add(refreshes, now, target) if self._adding else []
        after = self._write()
        if len(self._slots) == MAX_SECTIONS:
            self._reached.add("list")
        if self._waiting() >= self.backlog:
            self._reached.add("backlog")
        # Counted from the first refresh logged once the file was in place.
        for listing in emptied:
            self._emptied[listing.section] = after
            self.record.history[listing.notice_id].append(
                (listing.section, listing.first_refresh, after))
        for listing in added:
            listing.first_refresh = after

    def _add(self, refreshes: int, now: float, target: int) -> list[Listing]:
        free = [number for number in range(1, MAX_SECTIONS + 1)
                if number not in self._slots
                and (number not in self._emptied or refreshes >= self._emptied[number] + 2)]
        self.random.shuffle(free)
        listed = {listing.notice_id for listing in self._slots.values()}
        added = []
        while free and len(self._slots) < target and self.random.random() < 0.3:
            relist = [known for known in self._relist_pool if known not in listed]
            relisting = bool(relist) and self.random.random() < 0.25
            if not relisting and self._waiting() < self.backlog:
                self.record.new_ids += 1
                notice_id = f"soak-{self.record.new_ids:04d}"
                kind = self.random.choices(KINDS, weights=(2, 7, 1))[0]
                self._relist_pool.append(notice_id)
            elif relist and (relisting or self._fill):
                # Shown before, in this run or an earlier one, or waiting: never again.
                notice_id = self.random.choice(relist)
                kind = self.record.kinds.get(notice_id) or self.random.choice(KINDS)
            else:
                break
            self.record.kinds.setdefault(notice_id, kind)
            self.record.history.setdefault(notice_id, [])
            listed.add(notice_id)
            listing = Listing(notice_id, kind, free.pop(), first_refresh=-1, since=now)
            self._list(listing)
            self._slots[listing.section] = listing
            added.append(listing)
        return added

    def _list(self, listing: Listing) -> None:
        """Lists the notice in the section chosen for it. The package lists a notice in the
        lowest free section, so the free ones below are taken for a moment and freed again."""
        gaps = [f"gap-{number}" for number in range(1, listing.section)
                if number not in self._slots]
        for gap in gaps:
            self.state.add_notice(gap, "info", gap)
        added = self.state.add_notice(listing.notice_id, listing.kind,
                                      notice_title(listing.notice_id),
                                      body=notice_body(listing.notice_id, listing.kind))
        for gap in gaps:
            self.state.remove_notice(gap)
        if added.section != listing.section:
            raise AssertionError(f"{listing.notice_id} listed in section {added.section}, "
                                 f"not {listing.section}")

    def _waiting(self) -> int:
        # Nudges are left out: those held back by the day's rule wait for good.
        kinds = self.record.kinds
        due = sum(1 for notice_id, kind in kinds.items()
                  if kind != "nudge" and notice_id.startswith("soak-"))
        shown = sum(1 for balloon in self.requests.balloons
                    if kinds.get(balloon["szInfoTitle"].removeprefix("Soak ")) != "nudge")
        return due - shown

    def _write(self) -> int:
        """Replaces the file; gives the refresh count read once it is in place."""
        self.state.write()
        self.record.rewrites += 1
        self.record.largest_listing = max(self.record.largest_listing, len(self._slots))
        return self.requests.poll()
