"""The `quorlin` command: one probe from the command line.

    quorlin CONFIG [checks]
    quorlin --private-key-file FILE --peer-key KEY --endpoint HOST:PORT
            [--address CIDR --allowed-ip CIDR ...] [checks]

Exit status: 0 when the verdict answers everything asked (data_plane_confirmed,
or authentication_confirmed when no data check was asked), 1 when
authentication is confirmed but no requested data check passed, 2 when
unconfirmed, 3 for a local error or a refused input.
"""

from __future__ import annotations

import argparse
import inspect
import sys
from typing import NoReturn, Sequence, TextIO

from quorlin import _quorlin

EXIT_ANSWERED = 0
EXIT_NO_DATA_PLANE = 1
EXIT_UNCONFIRMED = 2
EXIT_LOCAL_ERROR = 3

RAW_KEY_OPTIONS = ("private_key_file", "peer_key", "endpoint", "address", "allowed_ip")
TIME_LIMITS = ("handshake_timeout_ms", "ping_timeout_ms", "dns_timeout_ms", "deadline_ms")


class UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    # A usage error is a refused input: exit status 3, not argparse's 2.
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="quorlin",
        description="Probe a WireGuard endpoint: does the peer hold the expected key, "
        "and does traffic flow through the tunnel?",
    )
    parser.add_argument("config", nargs="?", metavar="CONFIG", help="WireGuard configuration file")

    raw = parser.add_argument_group("raw-key mode (instead of CONFIG)")
    raw.add_argument("--private-key-file", metavar="FILE", help="file holding the private key (Base64)")
    raw.add_argument("--peer-key", metavar="KEY", help="the peer's public key (Base64)")
    raw.add_argument("--endpoint", metavar="HOST:PORT", help="the peer's endpoint")
    raw.add_argument("--address", metavar="CIDR", help="interface address for data checks")
    raw.add_argument(
        "--allowed-ip", metavar="CIDR", action="append", default=[], help="peer AllowedIPs entry (repeatable)"
    )

    checks = parser.add_argument_group("data checks")
    checks.add_argument("--ping", metavar="IP", action="append", default=[], help="ICMP echo target (repeatable)")
    checks.add_argument("--resolve", metavar="NAME", action="append", default=[], help="DNS name (repeatable)")
    checks.add_argument("--dns-server", metavar="IP", help="DNS server for --resolve")

    # The defaults are the module's own, read from its signature.
    defaults = inspect.signature(_quorlin.probe_file).parameters
    limits = parser.add_argument_group("time limits (milliseconds)")
    for name in TIME_LIMITS:
        limits.add_argument("--" + name.replace("_", "-"), type=int, default=defaults[name].default, metavar="MS",
                            help="default %(default)s")

    parser.add_argument("--json", action="store_true", help="print the report's JSON on one line")
    return parser


def run(options: argparse.Namespace) -> _quorlin.ProbeReport:
    common = dict(ping=options.ping, resolve=options.resolve, dns_server=options.dns_server)
    common.update((name, getattr(options, name)) for name in TIME_LIMITS)
    # An empty text was still given: it conflicts with a configuration file too.
    given_raw = [name for name in RAW_KEY_OPTIONS if getattr(options, name) not in (None, [])]
    if options.config is not None:
        if given_raw:
            flag = "--" + given_raw[0].replace("_", "-")
            raise UsageError(f"{flag} cannot be combined with a configuration file")
        return _quorlin.probe_file(options.config, **common)
    missing = [
        "--" + name.replace("_", "-") for name in ("private_key_file", "peer_key", "endpoint") if getattr(options, name) is None
    ]
    if missing:
        raise UsageError("give a configuration file, or " + ", ".join(missing))
    return _quorlin.probe_key_file(
        options.private_key_file,
        options.peer_key,
        options.endpoint,
        address=options.address,
        allowed_ips=options.allowed_ip,
        **common,
    )


def exit_status(report: _quorlin.ProbeReport, data_checks_asked: bool) -> int:
    if report.verdict == "data_plane_confirmed":
        return EXIT_ANSWERED
    if report.verdict == "authentication_confirmed":
        return EXIT_NO_DATA_PLANE if data_checks_asked else EXIT_ANSWERED
    if report.verdict == "unconfirmed":
        return EXIT_UNCONFIRMED
    return EXIT_LOCAL_ERROR


def _shown(text: str | None) -> str:
    # Texts can come from the configuration file or the system; keep control
    # characters out of the terminal.
    if text is None:
        return "-"
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def print_table(report: _quorlin.ProbeReport, out: TextIO) -> None:
    resolved = report.resolved_endpoint or "not resolved"
    print(f"verdict:  {report.verdict}", file=out)
    print(f"endpoint: {_shown(report.endpoint)} ({resolved})", file=out)
    print(
        f"total:    {report.duration_ms} ms, {report.sent_bytes} bytes sent, {report.received_bytes} bytes received",
        file=out,
    )
    rows = [("PHASE", "TARGET", "STATUS", "MS", "SENT", "RECEIVED", "DETAIL")]
    for phase in report.phases:
        rows.append(
            (
                phase.phase,
                _shown(phase.target),
                phase.status,
                str(phase.duration_ms),
                str(phase.sent_bytes),
                str(phase.received_bytes),
                _shown(phase.detail),
            )
        )
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]) - 1)]
    numeric = {3, 4, 5}
    for row in rows:
        cells = [
            cell.rjust(width) if i in numeric else cell.ljust(width) for i, (cell, width) in enumerate(zip(row, widths))
        ]
        print("  ".join(cells + [row[-1]]).rstrip(), file=out)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    try:
        options = parser.parse_args(argv)
        report = run(options)
    except UsageError as error:
        parser.print_usage(sys.stderr)
        print(f"quorlin: {error}", file=sys.stderr)
        return EXIT_LOCAL_ERROR
    except _quorlin.ConfigurationError as error:
        print(f"quorlin: {error}", file=sys.stderr)
        return EXIT_LOCAL_ERROR
    if options.json:
        print(report.to_json())
    else:
        print_table(report, sys.stdout)
    return exit_status(report, bool(options.ping or options.resolve))


if __name__ == "__main__":
    sys.exit(main())
