#!/usr/bin/env python3
"""A SiLA 2 client of vyt-Pump controller, built from the protocol files alone.

It generates its gRPC code from the .proto files (protoc and grpc_python_plugin, from
Debian's protobuf-compiler and protobuf-compiler-grpc), talks TLS to the server, and
trusts the program's own certificate (sila-server-PORT.crt beside vyt.conf) unless told
otherwise.

  sila_dose.py info                              the server and its features
  sila_dose.py dose 30 µl --repetitions 3        doses, following the progress
  sila_dose.py flow 2 ml/min --duration 10 --duration-unit s
  sila_dose.py stop

Needs python3-grpcio and python3-protobuf.
"""
import argparse
import base64
import glob
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
PROTO_DIRS = [os.path.join(HERE, "..", "src", "sila", "proto"),
              "/usr/share/vyt-pump-controller/sila/proto"]
DOSING = "org.vyt/pumps/PumpDosingService/v1"


def default_certificate(server):
    """The program's own certificate for the server at ADDRESS:PORT, beside vyt.conf."""
    config = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    port = server.rsplit(":", 1)[-1]
    return os.path.join(config, "vyt", f"sila-server-{port}.crt")


def generate_stubs(proto_dir, out_dir):
    """The Python modules of every .proto in proto_dir, written to out_dir and importable."""
    protoc = shutil.which("protoc")
    plugin = shutil.which("grpc_python_plugin")
    if not protoc or not plugin:
        raise SystemExit("protoc and grpc_python_plugin are needed: "
                         "sudo apt-get install protobuf-compiler protobuf-compiler-grpc")
    protos = sorted(glob.glob(os.path.join(proto_dir, "*.proto")))
    if not protos:
        raise SystemExit(f"No .proto files in {proto_dir}; give --proto-dir.")
    subprocess.run([protoc, "-I", proto_dir, f"--python_out={out_dir}", f"--grpc_out={out_dir}",
                    f"--plugin=protoc-gen-grpc={plugin}", *protos], check=True)
    if out_dir not in sys.path:
        sys.path.insert(0, out_dir)


def sila_error(error):
    """The SiLA error a failed call carries, or None for a plain gRPC failure."""
    import grpc
    import SiLAFramework_pb2 as fw
    if error.code() != grpc.StatusCode.ABORTED:
        return None
    try:
        return fw.SiLAError.FromString(base64.b64decode(error.details()))
    except Exception:
        return None


def describe(error):
    """One line for a failed call: the SiLA error's kind and message."""
    parsed = sila_error(error)
    if parsed is None:
        return f"{error.code().name}: {error.details()}"
    kind = parsed.WhichOneof("error")
    detail = getattr(parsed, kind)
    where = getattr(detail, "parameter", "") or getattr(detail, "errorIdentifier", "")
    return f"{kind} {where}: {detail.message}".replace(" :", ":")


def connect(server, certificate):
    import grpc
    try:
        with open(certificate, "rb") as f:
            trusted = f.read()
    except OSError as e:
        raise SystemExit(f"The server's certificate cannot be read: {e}. Give --cert.")
    return grpc.secure_channel(server, grpc.ssl_channel_credentials(root_certificates=trusted))


def info(channel):
    import SiLAService_pb2 as s
    import SiLAService_pb2_grpc as sg
    stub = sg.SiLAServiceStub(channel)
    print("Server:", stub.Get_ServerName(s.Get_ServerName_Parameters()).ServerName.value)
    print("Type:", stub.Get_ServerType(s.Get_ServerType_Parameters()).ServerType.value)
    print("UUID:", stub.Get_ServerUUID(s.Get_ServerUUID_Parameters()).ServerUUID.value)
    print("Version:", stub.Get_ServerVersion(s.Get_ServerVersion_Parameters()).ServerVersion.value)
    for feature in stub.Get_ImplementedFeatures(s.Get_ImplementedFeatures_Parameters()).ImplementedFeatures:
        print("Feature:", feature.value)


def follow(info_stream, show):
    """Prints the progress until the execution has finished; its last status."""
    last = None
    for step in info_stream:
        last = step.commandStatus
        if show:
            left = step.estimatedRemainingTime.seconds if step.HasField("estimatedRemainingTime") else None
            line = f"{step.progressInfo.value * 100:5.1f} %" + (f", about {left} s left" if left is not None else "")
            print("\r" + line, end="", flush=True)
    if show:
        print("\r" + " " * 40 + "\r", end="")
    return last


def dose(channel, args):
    import SiLAFramework_pb2 as fw
    import PumpDosingService_pb2 as d
    import PumpDosingService_pb2_grpc as dg
    stub = dg.PumpDosingServiceStub(channel)
    confirmation = stub.DoseVolume(d.DoseVolume_Parameters(
        Quantity=fw.Real(value=args.quantity), Unit=fw.String(value=args.unit),
        Repetitions=fw.Integer(value=args.repetitions), Pause=fw.Real(value=args.pause),
        PauseUnit=fw.String(value=args.pause_unit)))
    uuid = confirmation.commandExecutionUUID
    follow(stub.DoseVolume_Info(uuid), sys.stdout.isatty())
    result = stub.DoseVolume_Result(uuid)
    print(result.Outcome.value)


def flow(channel, args):
    import SiLAFramework_pb2 as fw
    import ContinuousFlowService_pb2 as f
    import ContinuousFlowService_pb2_grpc as fg
    stub = fg.ContinuousFlowServiceStub(channel)
    confirmation = stub.StartFlow(f.StartFlow_Parameters(
        Rate=fw.Real(value=args.rate), Unit=fw.String(value=args.unit),
        Duration=fw.Real(value=args.duration), DurationUnit=fw.String(value=args.duration_unit)))
    uuid = confirmation.commandExecutionUUID
    try:
        follow(stub.StartFlow_Info(uuid), sys.stdout.isatty())
    except KeyboardInterrupt:
        stub.Stop(f.Stop_Parameters())
        print("Stopped.")
    print(stub.StartFlow_Result(uuid).Outcome.value)


def stop(channel):
    import PumpDosingService_pb2 as d
    import PumpDosingService_pb2_grpc as dg
    dg.PumpDosingServiceStub(channel).Stop(d.Stop_Parameters())
    print("Stopped.")


def parse(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--server", default="127.0.0.1:50052", help="ADDRESS:PORT of the server (default %(default)s)")
    parser.add_argument("--cert", help="the certificate to trust (default: sila-server-PORT.crt "
                                       "beside vyt.conf, the program's own for that port)")
    parser.add_argument("--proto-dir", help="where the .proto files are (default: the project's src/sila/proto)")
    parser.add_argument("--timeout", type=float, default=10, help="seconds to wait for the server to answer a call")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("info", help="the server's name, type, UUID, version and features")
    d = commands.add_parser("dose", help="doses QUANTITY UNIT, REPETITIONS times")
    d.add_argument("quantity", type=float, help="the quantity of one dose")
    d.add_argument("unit", help="µl, mg or rev.")
    d.add_argument("--repetitions", type=int, default=1, help="the number of doses (default 1)")
    d.add_argument("--pause", type=float, default=0, help="the pause between doses (default 0)")
    d.add_argument("--pause-unit", default="s", help="ms, s, min or h (default s)")
    f = commands.add_parser("flow", help="runs a flow of RATE UNIT; Ctrl+C stops it")
    f.add_argument("rate", type=float, help="the flow rate")
    f.add_argument("unit", help="ml/min, g/min or rpm")
    f.add_argument("--duration", type=float, default=0, help="how long; 0 runs until Stop (default 0)")
    f.add_argument("--duration-unit", default="s", help="ms, s, min or h (default s)")
    commands.add_parser("stop", help="stops the pump at once")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse(argv)
    args.cert = args.cert or default_certificate(args.server)
    proto_dir = args.proto_dir or next((p for p in PROTO_DIRS if os.path.isdir(p)), PROTO_DIRS[0])
    with tempfile.TemporaryDirectory() as stubs:
        generate_stubs(proto_dir, stubs)
        import grpc
        channel = connect(args.server, args.cert)
        try:
            grpc.channel_ready_future(channel).result(timeout=args.timeout)
        except grpc.FutureTimeoutError:
            print(f"No TLS connection to {args.server} within {args.timeout:g} s: is the program "
                  f"running with --sila, and is {args.cert} its certificate?", file=sys.stderr)
            return 1
        try:
            if args.command == "info":
                info(channel)
            elif args.command == "dose":
                dose(channel, args)
            elif args.command == "flow":
                flow(channel, args)
            else:
                stop(channel)
        except grpc.RpcError as e:
            print("Refused:", describe(e), file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
