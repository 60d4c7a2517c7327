#!/usr/bin/env python3
"""Doses through vyt-pump-controller's remote control, waits for the end of the run and
prints its row of the run journal. Python 3 standard library only.

Start the program with remote control on, for example

    vyt-pump-controller --remote-control 127.0.0.1:8650

answer the port dialog, then

    examples/remote_dose.py --quantity 30 --unit µl --repetitions 3 --pause 1 --pause-unit s

The exit status is 0 when the run completed, 1 otherwise (stopped, refused, no answer).
"""
import argparse
import datetime
import json
import os
import sys
import time
import urllib.error
import urllib.parse
import urllib.request

TOKEN_HELP = """\
The token is the text of remote-token beside the program's vyt.conf, made at the
program's first start with --remote-control:
  $XDG_CONFIG_HOME/vyt/remote-token   when XDG_CONFIG_HOME is set,
  ~/.config/vyt/remote-token          otherwise.
Run this script with the program's XDG_CONFIG_HOME, or give --token-file. For the
program that scripts/demo starts (its settings in build/demo-home/config):
  XDG_CONFIG_HOME=build/demo-home/config examples/remote_dose.py --quantity 30
"""


def token_path():
    # The program keeps remote-token beside vyt.conf, in Qt's user configuration folder.
    config = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(config, "vyt", "remote-token")


def read_token(path, given):
    try:
        with open(path, encoding="ascii") as f:
            token = f.read().strip()
    except (OSError, UnicodeDecodeError) as error:
        reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
        if given:
            where = "given with --token-file"
        elif os.environ.get("XDG_CONFIG_HOME"):
            where = "XDG_CONFIG_HOME is " + os.environ["XDG_CONFIG_HOME"]
        else:
            where = "XDG_CONFIG_HOME is not set"
        raise SystemExit(f"no token: {path} ({where}) cannot be read: {reason}.\n\n"
                         + TOKEN_HELP.rstrip())
    if not token:
        raise SystemExit(f"no token: {path} is empty; delete it and start the program with "
                         "--remote-control again to get a new one.")
    return token


class Pump:
    def __init__(self, url, token, token_file):
        self.url = url.rstrip("/")
        self.token = token
        self.token_file = token_file

    def call(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode("utf-8")
        request = urllib.request.Request(self.url + path, data=data, method=method)
        request.add_header("Authorization", "Bearer " + self.token)
        if data is not None:
            request.add_header("Content-Type", "application/json")
        try:
            with urllib.request.urlopen(request, timeout=10) as answer:
                return json.load(answer)
        except urllib.error.HTTPError as error:
            try:
                reply = json.load(error)
            except ValueError:
                reply = {}
            if not isinstance(reply, dict):
                reply = {}
            field = reply.get("field")
            where = f" ({field})" if field else ""
            message = reply.get("message") or error.reason
            if error.code == 401:
                message += (f"\nThe token in {self.token_file} is not the one of the program "
                            f"at {self.url}: give the right one with --token-file, or run "
                            "with the program's XDG_CONFIG_HOME.")
            raise SystemExit(f"{method} {path}: {error.code}{where}: {message}")
        except urllib.error.URLError as error:
            raise SystemExit(f"{self.url} cannot be reached ({error.reason}): is the program "
                             "running, started with --remote-control, on this address and port?")
        except (OSError, ValueError) as error:
            # A timeout or a reset while the answer is read comes as a plain OSError.
            raise SystemExit(f"{method} {path}: no proper answer from {self.url} ({error})")

    def status(self):
        return self.call("GET", "/v1/status")

    def dose(self, quantity, unit, repetitions, pause, pause_unit):
        return self.call("POST", "/v1/dose", {"quantity": quantity, "unit": unit,
                                              "repetitions": repetitions, "pause": pause,
                                              "pause_unit": pause_unit})

    def stop(self):
        return self.call("POST", "/v1/stop", {})

    def runs(self, since):
        return self.call("GET", "/v1/runs?" + urllib.parse.urlencode({"since": since}))["runs"]


class Progress:
    """One line rewritten in place while the run goes on, wiped before anything else.
    Only on a terminal: a log or a pipe gets the result alone."""

    def __init__(self, out):
        self.out = out
        self.width = 0
        self.shown = out.isatty()

    def show(self, text):
        if not self.shown:
            return
        self.out.write("\r" + text.ljust(self.width))
        self.out.flush()
        self.width = max(self.width, len(text))

    def clear(self):
        if self.width:
            self.out.write("\r" + " " * self.width + "\r")
            self.out.flush()
            self.width = 0


def number(value):
    return f"{value:g}" if isinstance(value, (int, float)) else str(value)


def make_parser():
    parser = argparse.ArgumentParser(
        description=__doc__, epilog=TOKEN_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--url", default="http://127.0.0.1:8650",
                        help="the program's remote control (default: %(default)s)")
    parser.add_argument("--token-file", metavar="PATH",
                        help=f"read the token from PATH (default: {token_path()})")
    parser.add_argument("--quantity", type=float, default=30,
                        help="the quantity of one dose (default: %(default)g)")
    parser.add_argument("--unit", default="µl",
                        help='the unit of the quantity: "µl", "mg" or "rev." (default: %(default)s)')
    parser.add_argument("--repetitions", default="1",
                        help='the number of doses, or "endless" (default: %(default)s)')
    parser.add_argument("--pause", type=float, default=0,
                        help="the pause between two doses (default: %(default)g)")
    parser.add_argument("--pause-unit", default="s",
                        help='the unit of the pause: "ms", "s", "min" or "h" (default: %(default)s)')
    parser.add_argument("--timeout", type=float, default=600,
                        help="seconds to wait for the end of the run before it is stopped "
                             "(default: %(default)g)")
    return parser


def parse_args(argv):
    parser = make_parser()
    args = parser.parse_args(argv)
    if args.repetitions != "endless":
        try:
            args.repetitions = int(args.repetitions)
        except ValueError:
            parser.error(f'--repetitions: a whole number or "endless", not "{args.repetitions}"')
    return args


def main(argv=None):
    args = parse_args(argv)
    token_file = args.token_file or token_path()
    pump = Pump(args.url, read_token(token_file, args.token_file is not None), token_file)

    since = datetime.datetime.now().astimezone().replace(microsecond=0).isoformat()
    pump.dose(args.quantity, args.unit, args.repetitions, args.pause, args.pause_unit)
    print(f"dosing {args.quantity:g} {args.unit} x {args.repetitions}", flush=True)
    progress = Progress(sys.stdout)
    deadline = time.monotonic() + args.timeout
    try:
        while True:
            state = pump.status()
            run = state["run"]
            if not state["running"]:
                break
            if time.monotonic() > deadline:
                pump.stop()
                progress.clear()
                print("time is up: stopped")
                break
            if run and "dose" in run:
                pausing = ", pausing" if run.get("pausing") else ""
                progress.show(f"  dose {number(run['dose'])} of {number(run.get('doses'))}{pausing}")
            time.sleep(0.2)
    except KeyboardInterrupt:
        pump.stop()
        progress.clear()
        print("interrupted: stopped")
    finally:
        progress.clear()
    rows = pump.runs(since)
    if not rows:
        raise SystemExit("the run left no row in the journal")
    print(json.dumps(rows[-1], indent=2, ensure_ascii=False))
    return 0 if rows[-1]["ended_by"] == "completed" else 1


if __name__ == "__main__":
    sys.exit(main())
