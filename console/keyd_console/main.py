"""keyd-console's command line: run the web service, check the settings, or
manage the users."""
import argparse
import asyncio
import getpass
import logging
import re
import signal
import sys

from . import auth, settings as conf

DEFAULT_CONF = "/etc/keyd-console/keyd-console.conf"
DESCRIPTION = """\
The control room's web console: shows every site that the bridges publish on
the MQTT broker (online or offline, its locks and their last status, a live
list of lock and key events) and sends lock and key commands to a site, each
published as "console:USER". Runs until SIGTERM or SIGINT; SIGHUP reads the
users file again.
With "adduser NAME" it sets NAME's password (and, with --role, its role:
viewer, operator or admin) in the users file instead: read twice from the
terminal, or from the first two lines of standard input. "passwd NAME" sets
an existing user's password, "deluser NAME" removes one. --check prints every
setting, its value and where it came from, and every problem of the file."""
USAGE = """keyd-console [--conf FILE] [--check]
       keyd-console [--conf FILE] adduser NAME [--role ROLE] | passwd NAME | deluser NAME
       keyd-console --help | --version"""

log = logging.getLogger("keyd-console")
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029]")
_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t", "\b": "\\b", "\f": "\\f"}


def one_line(text):
    """text with its control characters escaped as in a JSON string, so that
    it stays one line; a text without any is unchanged."""
    return _CONTROL.sub(lambda m: _ESCAPES.get(m.group(), f"\\u{ord(m.group()):04x}"), text)


class OneLineFormatter(logging.Formatter):
    """Every log line's message is one line, whatever peer text it carries."""

    def formatMessage(self, record):
        record.message = one_line(record.message)
        return super().formatMessage(record)

    def formatException(self, ei):   # a traceback too, whose texts may come from a peer
        return one_line(super().formatException(ei))


def parse_args(argv, version):
    p = argparse.ArgumentParser(prog="keyd-console", description=DESCRIPTION, usage=USAGE,
                                formatter_class=argparse.RawDescriptionHelpFormatter,
                                epilog="Exit status: 0 after a stop, a saved user or a clean check; 1 on a "
                                       "failure or a problem found; 2 on a usage error.")
    p.add_argument("--conf", default=DEFAULT_CONF, metavar="FILE",
                   help=f"configuration file (default {DEFAULT_CONF})")
    p.add_argument("--check", action="store_true", help="print the settings and their problems, and exit")
    p.add_argument("--role", choices=auth.ROLES, help="the role adduser gives (default: operator, or the user's own)")
    p.add_argument("--version", action="version", version=f"keyd-console {version}")
    p.add_argument("action", nargs="*", metavar="adduser|passwd|deluser NAME", help="manage a user")
    args = p.parse_args(argv)
    if args.action and (len(args.action) != 2 or args.action[0] not in ("adduser", "passwd", "deluser")):
        p.error("the actions are: adduser NAME, passwd NAME, deluser NAME")
    if args.role and (not args.action or args.action[0] != "adduser"):
        p.error("--role goes with adduser")
    if args.check and args.action:
        p.error("--check takes no action")
    return args


def fail(text, status=1):
    print(f"keyd-console: {text}", file=sys.stderr)
    return status


def read_password():
    if sys.stdin.isatty():
        return getpass.getpass("Password: "), getpass.getpass("Password again: ")
    lines = [sys.stdin.buffer.readline().rstrip(b"\r\n") for _ in "12"]
    return [line.decode("utf-8", "surrogateescape") for line in lines]


def manage_user(path, action, name, role):
    if not auth.NAME_RE.fullmatch(name):
        return fail(f"a user name is 1-56 letters, digits and . _ @ -: {name!r}", 2)
    password = None
    if action != "deluser":
        first, second = read_password()
        if first != second:
            return fail("the two passwords differ; nothing saved")
        if not first:
            return fail("an empty password; nothing saved")
        if problem := auth.password_problem(first):
            return fail(f"{problem}; nothing saved")
        password = first
    try:
        if not auth.write_users(path, name, password, role, remove=action == "deluser"):
            return fail(f"no user {name} in {path}")
    except OSError as e:
        return fail(f"cannot write {path}: {e}")
    print(f"keyd-console: {name} {'removed from' if action == 'deluser' else 'saved in'} {path}")
    return 0


def check(path, s):
    for key in conf.KEYS:
        print(f"{key}={conf.value_text(s, key)} ({s.origin[key]})")
    for problem in s.problems:
        print(f"problem: {problem}")
    return 1 if s.problems else 0


async def serve(s):
    from aiohttp import web
    from .broker import Broker
    from .fleet import Fleet
    from .web import Console

    loop = asyncio.get_running_loop()
    console = Console(s, Fleet(s), auth.Users(s.users_file), lambda *a: broker.publish(*a))
    broker = Broker(s, loop, console.on_broker)
    console.client_id = broker.client_id
    runner = web.AppRunner(console.app(), access_log=None, handle_signals=False)
    await runner.setup()
    host = f"[{s.http_host}]" if s.http_host and ":" in s.http_host else s.http_host
    where = f"unix:{s.http_unix}" if s.http_unix else f"http://{host}:{s.http_port}/"
    try:
        await (web.UnixSite(runner, s.http_unix) if s.http_unix else
               web.TCPSite(runner, s.http_host, s.http_port)).start()
    except OSError as e:
        await runner.cleanup()
        return fail(f"cannot listen on {where}: {e}")
    log.info("Listening on %s", where)
    broker.start()
    console.start()
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    loop.add_signal_handler(signal.SIGHUP, console.users_changed)
    await stop.wait()
    log.info("Stopping")
    broker.stop()
    await console.stop()
    await runner.cleanup()
    return 0


def main(version):
    args = parse_args(sys.argv[1:], version)
    logging.addLevelName(logging.WARNING, "WARN")
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(OneLineFormatter("%(levelname)s %(message)s"))
    logging.basicConfig(level=logging.INFO, handlers=[handler])
    try:
        s = conf.load(args.conf)
    except (OSError, ValueError) as e:
        return fail(f"{args.conf}: {e}")
    if args.check:
        return check(args.conf, s)
    if args.action:
        return manage_user(s.users_file, args.action[0], args.action[1], args.role)
    for problem in s.problems:
        log.warning("%s", problem)
    return asyncio.run(serve(s))
