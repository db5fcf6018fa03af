#!/usr/bin/python3
"""The occurrences of an iCalendar file in an interval, as python3-icalendar
and python3-dateutil read it: the reference the calendar store is compared
with (IcsCalendarReferenceTests.cpp).

    ics_occurrences.py FILE FROM TO [LOCAL_ZONE]

FROM and TO are UTC times (2026-03-01T00:00:00Z). Prints one line per
occurrence overlapping [FROM, TO), sorted: "START|END|TITLE" in UTC. Floating
times and dates are read in LOCAL_ZONE (default UTC). Events without a start
are left out and named on standard error.
"""
import sys
from datetime import date, datetime, timedelta, timezone

import icalendar
from dateutil import rrule, tz


def utc_from_arg(text):
    return datetime.strptime(text, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=timezone.utc)


def values(component, name):
    """Every value of a property that may appear several times, each with several values."""
    prop = component.get(name)
    if prop is None:
        return []
    props = prop if isinstance(prop, list) else [prop]
    out = []
    for p in props:
        out.extend(d.dt for d in p.dts) if hasattr(p, "dts") else out.append(p)
    return out


class Reader:
    def __init__(self, local_zone):
        self.local = tz.gettz(local_zone)

    def as_datetime(self, value):
        """A date or a floating time as an aware local time; aware times unchanged."""
        if isinstance(value, datetime):
            return value if value.tzinfo else value.replace(tzinfo=self.local)
        return datetime(value.year, value.month, value.day, tzinfo=self.local)

    def length_of(self, event):
        """An event's length: days for all-day events, else a duration."""
        start_value = event.decoded("DTSTART")
        all_day = not isinstance(start_value, datetime)
        if event.get("DTEND") is not None:
            end_value = event.decoded("DTEND")
            if all_day:
                return max((end_value - start_value).days, 1) if not isinstance(end_value, datetime) else 1
            return max(self.as_datetime(end_value) - self.as_datetime(start_value), timedelta(0))
        if event.get("DURATION") is not None:
            return event.decoded("DURATION")
        return 1 if all_day else timedelta(0)

    def end_of(self, event, start_value, start):
        length = self.length_of(event)
        if isinstance(length, int):
            return self.as_datetime(start_value + timedelta(days=length))
        return start + length


def attach(naive, zone):
    """A wall-clock time in `zone` (pytz zones need localize() to get the offset of that date)."""
    return zone.localize(naive) if hasattr(zone, "localize") else naive.replace(tzinfo=zone)


def local_date(value, zone):
    if isinstance(value, datetime):
        return (value.astimezone(zone) if value.tzinfo and zone else value).date()
    return value


def occurrences(path, begin, end, local_zone):
    reader = Reader(local_zone)
    with open(path, "rb") as f:
        calendar = icalendar.Calendar.from_ical(f.read())
    masters, overrides = [], {}
    for event in calendar.walk("VEVENT"):
        if event.get("DTSTART") is None:
            print("skipped", event.get("UID"), file=sys.stderr)
            continue
        if event.get("RECURRENCE-ID") is not None:
            overrides.setdefault(str(event.get("UID")), []).append(event)
        else:
            masters.append(event)
    out = []

    def add(event, start_value, start):
        if str(event.get("STATUS", "")).upper() == "CANCELLED":
            return
        finish = reader.end_of(event, start_value, start)
        if start < end and (finish > begin or (finish == start and start >= begin)):
            out.append((start, finish, str(event.get("SUMMARY", ""))))

    for master in masters:
        start_value = master.decoded("DTSTART")
        first = reader.as_datetime(start_value)
        zone = first.tzinfo
        rules = master.get("RRULE")
        rules = [] if rules is None else (rules if isinstance(rules, list) else [rules])
        starts = {first}
        if rules:
            rule_set = rrule.rruleset()
            # dateutil wants naive times for naive starts: expand in the start's own zone, then attach it.
            naive_start = first.replace(tzinfo=None)
            for rule in rules:
                text = rule.to_ical().decode()
                parsed = rrule.rrulestr(text, dtstart=naive_start, ignoretz=True)
                if "UNTIL" in rule:
                    until = rule["UNTIL"][0]
                    until = reader.as_datetime(until).astimezone(zone).replace(tzinfo=None)
                    parsed = parsed.replace(until=until)
                rule_set.rrule(parsed)
            window_start = (begin - timedelta(days=400)).astimezone(zone).replace(tzinfo=None)
            window_end = end.astimezone(zone).replace(tzinfo=None)
            starts = {attach(s, zone) for s in rule_set.between(window_start, window_end, inc=True)}
            if naive_start >= window_start and naive_start <= window_end:
                starts.add(first)
        for rdate in values(master, "RDATE"):
            starts.add(reader.as_datetime(rdate))
        excluded = set()
        excluded_days = set()
        timed = isinstance(start_value, datetime)
        for exdate in values(master, "EXDATE"):
            if timed and not isinstance(exdate, datetime):
                excluded_days.add(exdate)
            else:
                excluded.add(reader.as_datetime(exdate))
        for override in overrides.get(str(master.get("UID")), []):
            excluded.add(reader.as_datetime(override.decoded("RECURRENCE-ID")))
        for start in sorted(starts):
            if start in excluded or (excluded_days and local_date(start, zone) in excluded_days):
                continue
            value = start if timed else start.date()
            add(master, value, start)
        for override in overrides.get(str(master.get("UID")), []):
            value = override.decoded("DTSTART")
            add(override, value, reader.as_datetime(value))
    iso = "%Y-%m-%dT%H:%M:%SZ"
    for start, finish, title in sorted(out):
        print(start.astimezone(timezone.utc).strftime(iso) + "|" + finish.astimezone(timezone.utc).strftime(iso) +
              "|" + title)


if __name__ == "__main__":
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__)
    occurrences(sys.argv[1], utc_from_arg(sys.argv[2]), utc_from_arg(sys.argv[3]),
                sys.argv[4] if len(sys.argv) == 5 else "UTC")
