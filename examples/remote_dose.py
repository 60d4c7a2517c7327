#!/usr/bin/env python3
"""Doses through vyt-pump-controller's remote control, waits for the end of the run and
prints its row of the run journal. Python 3 standard library only.

Start the program with remote control on, for example

    vyt-pump-controller --remote-control 127.0.0.1:8650

answer the port dialog, then

    examples/remote_dose.py --quantity 30 --unit µl --repetitions 3 --pause 1 --pause-unit s

The token is read from remote-token beside vyt.conf ($XDG_CONFIG_HOME/vyt or ~/.config/vyt).
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


def token_path():
    config = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(config, "vyt", "remote-token")


class Pump:
    def __init__(self, url, token):
        self.url = url.rstrip("/")
        self.token = token

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
            reply = json.load(error)
            field = reply.get("field")
            where = f" ({field})" if field else ""
            raise SystemExit(f"{method} {path}: {error.code}{where}: {reply.get('message')}")
        except urllib.error.URLError as error:
            raise SystemExit(f"{self.url} cannot be reached ({error.reason}): is the program "
                             "running, started with --remote-control?")

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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--url", default="http://127.0.0.1:8650")
    parser.add_argument("--token-file", default=token_path())
    parser.add_argument("--quantity", type=float, default=30)
    parser.add_argument("--unit", default="µl")
    parser.add_argument("--repetitions", default="1", help='a number or "endless"')
    parser.add_argument("--pause", type=float, default=0)
    parser.add_argument("--pause-unit", default="s")
    parser.add_argument("--timeout", type=float, default=600, help="seconds before Stop")
    args = parser.parse_args()

    try:
        with open(args.token_file, encoding="ascii") as f:
            pump = Pump(args.url, f.read().strip())
    except OSError as error:
        raise SystemExit(f"no token: {error}; the program makes it at its first start with "
                         "--remote-control")
    repetitions = args.repetitions if args.repetitions == "endless" else int(args.repetitions)

    since = datetime.datetime.now().astimezone().replace(microsecond=0).isoformat()
    pump.dose(args.quantity, args.unit, repetitions, args.pause, args.pause_unit)
    print(f"dosing {args.quantity:g} {args.unit} x {repetitions}")
    deadline = time.monotonic() + args.timeout
    try:
        while True:
            state = pump.status()
            run = state["run"]
            if not state["running"]:
                break
            if time.monotonic() > deadline:
                pump.stop()
                print("time is up: stopped")
                break
            if run:
                print(f"  dose {run.get('dose')} of {run.get('doses')}", end="\r")
            time.sleep(0.2)
    except KeyboardInterrupt:
        pump.stop()
        print("\ninterrupted: stopped")
    rows = pump.runs(since)
    if not rows:
        raise SystemExit("the run left no row in the journal")
    print(json.dumps(rows[-1], indent=2, ensure_ascii=False))
    return 0 if rows[-1]["ended_by"] == "completed" else 1


if __name__ == "__main__":
    sys.exit(main())
