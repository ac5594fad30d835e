"""keyd-console's command line: run the web service, or add a user."""
import argparse
import asyncio
import getpass
import logging
import signal
import sys

from . import auth, settings as conf

DEFAULT_CONF = "/etc/keyd-console/keyd-console.conf"
DESCRIPTION = """\
The control room's web console: shows every site that the bridges publish on
the MQTT broker (online or offline, its locks and their last status, a live
list of lock and key events) and sends lock and key commands to a site, each
published as "console:USER". Runs until SIGTERM or SIGINT.
With "adduser NAME" it sets NAME's password in the users file instead: read
twice from the terminal, or from the first two lines of standard input."""

log = logging.getLogger("keyd-console")


def parse_args(argv, version):
    p = argparse.ArgumentParser(prog="keyd-console", description=DESCRIPTION,
                                usage="keyd-console [--conf FILE] [adduser NAME]\n"
                                      "       keyd-console --help | --version",
                                formatter_class=argparse.RawDescriptionHelpFormatter,
                                epilog="Exit status: 0 after a stop or a saved user; 1 on a failure; "
                                       "2 on a usage error.")
    p.add_argument("--conf", default=DEFAULT_CONF, metavar="FILE",
                   help=f"configuration file (default {DEFAULT_CONF})")
    p.add_argument("--version", action="version", version=f"keyd-console {version}")
    p.add_argument("action", nargs="*", metavar="adduser NAME", help="add a user, or set a user's password")
    args = p.parse_args(argv)
    if args.action and (len(args.action) != 2 or args.action[0] != "adduser"):
        p.error("the only action is: adduser NAME")
    return args


def fail(text, status=1):
    print(f"keyd-console: {text}", file=sys.stderr)
    return status


def read_password():
    if sys.stdin.isatty():
        return getpass.getpass("Password: "), getpass.getpass("Password again: ")
    return sys.stdin.readline().rstrip("\r\n"), sys.stdin.readline().rstrip("\r\n")


def add_user(path, name):
    if not auth.NAME_RE.fullmatch(name):
        return fail(f"a user name is 1-56 letters, digits and . _ @ -: {name!r}", 2)
    first, second = read_password()
    if first != second:
        return fail("the two passwords differ; nothing saved")
    if not first:
        return fail("an empty password; nothing saved")
    try:
        auth.add_user(path, name, first)
    except OSError as e:
        return fail(f"cannot write {path}: {e}")
    print(f"keyd-console: {name} saved in {path}")
    return 0


async def serve(s):
    from aiohttp import web
    from .broker import Broker
    from .fleet import Fleet
    from .web import Console

    loop = asyncio.get_running_loop()
    console = Console(Fleet(s.mqtt_prefix), auth.Users(s.users_file), lambda *a: broker.publish(*a))
    broker = Broker(s, loop, console.on_broker)
    runner = web.AppRunner(console.app(), access_log=None, handle_signals=False)
    await runner.setup()
    host = f"[{s.http_host}]" if ":" in s.http_host else s.http_host
    where = f"unix:{s.http_unix}" if s.http_unix else f"http://{host}:{s.http_port}/"
    try:
        await (web.UnixSite(runner, s.http_unix) if s.http_unix else
               web.TCPSite(runner, s.http_host, s.http_port)).start()
    except OSError as e:
        await runner.cleanup()
        return fail(f"cannot listen on {where}: {e}")
    log.info("Listening on %s", where)
    broker.start()
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    log.info("Stopping")
    broker.stop()
    await runner.cleanup()
    return 0


def main(version):
    args = parse_args(sys.argv[1:], version)
    logging.addLevelName(logging.WARNING, "WARN")
    logging.basicConfig(stream=sys.stderr, level=logging.INFO, format="%(levelname)s %(message)s")
    try:
        s = conf.load(args.conf)
    except (OSError, conf.SettingsError) as e:
        return fail(f"{args.conf}: {e}")
    if args.action:
        return add_user(s.users_file, args.action[1])
    return asyncio.run(serve(s))
