#!/usr/bin/env python3
"""examples/remote_dose.py against a small stand-in for the program's remote control:
its help, where it looks for the token, its messages, and a dose to the end.

Usage: remote_dose_example.py PATH/TO/remote_dose.py
"""
import http.server
import importlib.util
import json
import os
import pty
import select
import socket
import subprocess
import sys
import tempfile
import threading

TOKEN = "ab" * 32
SCRIPT = os.path.abspath(sys.argv[1])
failures = []


def check(ok, what, detail=""):
    if not ok:
        failures.append(what)
        print(f"FAIL: {what}\n{detail}".rstrip(), file=sys.stderr)


class Program(http.server.BaseHTTPRequestHandler):
    """The answers the example relies on: a dose that runs two status calls, then ends."""

    polls = 0

    def log_message(self, *args):
        pass

    def answer(self, code, body):
        data = json.dumps(body).encode()
        self.send_response(code)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def authorised(self):
        if self.headers.get("Authorization") == "Bearer " + TOKEN:
            return True
        self.answer(401, {"message": "A token is needed."})
        return False

    def do_POST(self):
        length = int(self.headers.get("Content-Length", 0))
        self.rfile.read(length)
        if self.authorised():
            Program.polls = 0
            self.answer(200, {"started": True, "status": {}})

    def do_GET(self):
        if not self.authorised():
            return
        if self.path.startswith("/v1/status"):
            Program.polls += 1
            running = Program.polls <= 2
            run = {"mode": "dosing", "dose": float(Program.polls), "doses": 2.0,
                   "pausing": Program.polls == 1} if running else None
            self.answer(200, {"running": running, "run": run})
        elif self.path.startswith("/v1/runs"):
            self.answer(200, {"runs": [{"ended_by": "completed", "doses_done": 2,
                                        "delivered": 60, "unit": "µl"}]})
        else:
            self.answer(404, {"message": "No such resource."})


def run(args, env, tty=False):
    """Exit status and output (stdout and stderr together) of the example."""
    command = [sys.executable, SCRIPT] + args
    if not tty:
        done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=60)
        return done.returncode, done.stdout + done.stderr
    master, slave = pty.openpty()
    child = subprocess.Popen(command, env=env, stdin=slave, stdout=slave, stderr=slave)
    os.close(slave)
    out = b""
    while True:
        ready, _, _ = select.select([master], [], [], 60)
        if not ready:
            child.kill()
            break
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the child has closed its side
            break
        if not chunk:
            break
        out += chunk
    os.close(master)
    return child.wait(timeout=60), out.decode("utf-8", "replace")


def main():
    home = tempfile.mkdtemp(prefix="remote-dose-")
    config = os.path.join(home, "config")
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=config, LC_ALL="C.UTF-8")

    # The help is whole: the description, every option with its help, the token's places.
    code, out = run(["--help"], env)
    check(code == 0, "--help exits 0", out)
    for text in ("prints its row of the run journal", "--remote-control 127.0.0.1:8650",
                 "$XDG_CONFIG_HOME/vyt/remote-token", "~/.config/vyt/remote-token",
                 "XDG_CONFIG_HOME=build/demo-home/config examples/remote_dose.py"):
        check(text in out, f"--help names {text!r}", out)
    spec = importlib.util.spec_from_file_location("remote_dose", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    parser_help = {action.dest: action.help for action in module.make_parser()._actions}
    for dest, text in parser_help.items():
        check(bool(text), f"option {dest} has a help text")
    for option in ("url", "token_file", "quantity", "unit", "repetitions", "pause",
                   "pause_unit", "timeout"):
        check(option in parser_help, f"option {option} is kept")

    # No token: where it looked, and how to point it elsewhere.
    code, out = run([], env)
    check(code == 1, "a missing token exits 1", out)
    for text in (os.path.join(config, "vyt", "remote-token"), "--token-file",
                 "XDG_CONFIG_HOME=build/demo-home/config"):
        check(text in out, f"the missing token's message names {text!r}", out)
    without = {k: v for k, v in env.items() if k != "XDG_CONFIG_HOME"}
    code, out = run([], without)
    check(os.path.join(home, ".config", "vyt", "remote-token") in out,
          "without XDG_CONFIG_HOME the token is looked for in ~/.config/vyt", out)

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Program)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_address[1]}"

    # A wrong token: the program's 401 and the file it came from.
    wrong = os.path.join(home, "wrong-token")
    with open(wrong, "w") as f:
        f.write("0" * 64 + "\n")
    code, out = run(["--url", url, "--token-file", wrong], env)
    check(code == 1 and "401" in out and wrong in out, "a wrong token is told with its file", out)

    # A port nobody listens on.
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        closed = probe.getsockname()[1]
    code, out = run(["--url", f"http://127.0.0.1:{closed}", "--token-file", wrong], env)
    check(code == 1 and "cannot be reached" in out, "an unreachable port is told", out)

    # The token beside vyt.conf, as the program keeps it; a dose to its end on a terminal.
    os.makedirs(os.path.join(config, "vyt"))
    with open(os.path.join(config, "vyt", "remote-token"), "w") as f:
        f.write(TOKEN + "\n")
    code, out = run(["--url", url, "--quantity", "30", "--repetitions", "2"], env, tty=True)
    check(code == 0, "a completed dose exits 0", out)
    check("dose 1 of 2, pausing" in out, "the progress line shows the dose", out)
    before, _, result = out.partition("{")
    tail = before.rsplit("\r", 2)
    check(len(tail) == 3 and tail[1].strip() == "" and tail[2] == "",
          "the progress line is wiped before the result", repr(before))
    check('"ended_by": "completed"' in result, "the journal row is printed", out)

    # Into a pipe: the result alone, no line rewritten in place.
    code, out = run(["--url", url, "--quantity", "30", "--repetitions", "2"], env)
    check(code == 0 and "\r" not in out and '"completed"' in out,
          "a pipe gets no progress line", repr(out))

    server.shutdown()
    print(f"{len(failures)} failure(s)" if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
