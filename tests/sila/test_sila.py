#!/usr/bin/env python3
"""The SiLA 2 server of the real program, headless against the controller simulator, from a
client built only from the protocol files: the standard's service, the feature definitions
against the standard's schema, doses and flows to the exact wire, cancel, refusals, busy,
hostile calls and a connection without TLS.

Usage: test_sila.py PROGRAM SIMULATOR
"""
import base64
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "examples"))
import sila_dose  # noqa: E402  (the example client: its stub generation and error reading)

PROGRAM, SIMULATOR = (os.path.abspath(p) for p in sys.argv[1:3])
del sys.argv[1:3]
SCHEMA = os.path.join(ROOT, "tests", "data", "sila-schema", "FeatureDefinition.xsd")
STUBS = tempfile.mkdtemp(prefix="vyt-sila-stubs-")
sila_dose.generate_stubs(os.path.join(ROOT, "src", "sila", "proto"), STUBS)

import grpc  # noqa: E402
import SiLAFramework_pb2 as fw  # noqa: E402
import SiLAService_pb2 as s  # noqa: E402
import SiLAService_pb2_grpc as sg  # noqa: E402
import CancelController_pb2 as c  # noqa: E402
import CancelController_pb2_grpc as cg  # noqa: E402
import PumpDosingService_pb2 as d  # noqa: E402
import PumpDosingService_pb2_grpc as dg  # noqa: E402
import ContinuousFlowService_pb2 as f  # noqa: E402
import ContinuousFlowService_pb2_grpc as fg  # noqa: E402
import PumpStatusProvider_pb2 as p  # noqa: E402
import MethodRunner_pb2 as m  # noqa: E402
import MethodRunner_pb2_grpc as mg  # noqa: E402
import PumpStatusProvider_pb2_grpc as pg  # noqa: E402

FEATURES = ["org.silastandard/core/SiLAService/v1",
            "org.silastandard/core.commands/CancelController/v1",
            "org.vyt/pumps/PumpDosingService/v1",
            "org.vyt/pumps/ContinuousFlowService/v1",
            "org.vyt/pumps/PumpStatusProvider/v1",
            "org.vyt/pumps/MethodRunner/v1"]
DOSING = "org.vyt/pumps/PumpDosingService/v1"
FLOW = "org.vyt/pumps/ContinuousFlowService/v1"
METHOD = "org.vyt/pumps/MethodRunner/v1"
DOSE_PROMPT_DOSE = json.dumps({"format": "vyt-method/1", "name": "Dose, ask, dose", "steps": [
    {"dose": {"quantity": 3, "unit": "µl", "repetitions": 1, "pause": 0, "pause_unit": "ms"}},
    {"prompt": {"text": "Place the <b>vial</b>, then continue."}},
    {"dose": {"quantity": 3, "unit": "µl", "repetitions": 1, "pause": 0, "pause_unit": "ms"}}]})


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def wait_until(condition, timeout=10.0, what="condition"):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if condition():
            return
        time.sleep(0.02)
    raise AssertionError(f"timed out waiting for {what}")


class Rig:
    """The simulator and the program, with their homes; the client's channel."""

    def __init__(self):
        self.work = tempfile.mkdtemp(prefix="vyt-sila-")
        self.log = os.path.join(self.work, "sim.log")
        self.sim = subprocess.Popen([SIMULATOR, "--log", self.log], stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL, text=True, env=dict(os.environ, TZ="UTC"))
        self.device = self.sim.stdout.readline().strip()
        self.config = os.path.join(self.work, "config")
        os.makedirs(os.path.join(self.config, "vyt"))
        with open(os.path.join(self.config, "vyt", "vyt.conf"), "w") as conf:
            conf.write(f"[Ports]\nCOM1={self.device}\n")
        self.port = free_port()
        self.stderr = []
        self.program = None
        self.ended = False
        self.start_program()
        self.channel = self.secure_channel()

    def start_program(self):
        env = dict(os.environ, XDG_CONFIG_HOME=self.config, XDG_DATA_HOME=self.config, LC_ALL="C.UTF-8")
        self.program = subprocess.Popen(
            [PROGRAM, "--headless", "--port", "1", "--sila", f"127.0.0.1:{self.port}"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
        ready = threading.Event()

        def read():
            for line in self.program.stderr:
                self.stderr.append(line)
                if "SiLA 2 on" in line:
                    ready.set()
        threading.Thread(target=read, daemon=True).start()
        if not ready.wait(20):
            raise AssertionError("the program did not start SiLA 2:\n" + "".join(self.stderr))

    def certificate(self):
        with open(os.path.join(self.config, "vyt", f"sila-server-{self.port}.crt"), "rb") as pem:
            return pem.read()

    def secure_channel(self):
        return grpc.secure_channel(f"127.0.0.1:{self.port}",
                                   grpc.ssl_channel_credentials(root_certificates=self.certificate()))

    def received(self):
        """The lines the controller received, in order."""
        try:
            with open(self.log, encoding="utf-8") as log:
                return [line.rstrip("\n").split(" ", 1)[1] for line in log if " " in line]
        except FileNotFoundError:
            return []

    def close(self):
        self.channel.close()
        if self.program.poll() is None:
            self.program.terminate()
            self.program.wait(10)
        self.sim.terminate()
        self.sim.wait(10)


rig = None


def setUpModule():
    global rig
    rig = Rig()


def tearDownModule():
    died = rig.program.poll()
    rig.close()
    if died is not None and not rig.ended:
        sys.stderr.write(f"The program ended during the tests (status {died}):\n" + "".join(rig.stderr))


def sila_error_of(call):
    """Runs call; the SiLA error it must fail with, as (kind, detail)."""
    try:
        call()
    except grpc.RpcError as e:
        parsed = sila_dose.sila_error(e)
        if parsed is None:
            raise AssertionError(f"not a SiLA error: {e.code()} {e.details()}")
        kind = parsed.WhichOneof("error")
        return kind, getattr(parsed, kind)
    raise AssertionError("the call was not refused")


def dose_parameters(quantity=30.0, unit="µl", repetitions=3, pause=0.0, pause_unit="ms", **leave_out):
    values = dict(Quantity=fw.Real(value=quantity), Unit=fw.String(value=unit),
                  Repetitions=fw.Integer(value=repetitions), Pause=fw.Real(value=pause),
                  PauseUnit=fw.String(value=pause_unit))
    for name in leave_out:
        values.pop(name)
    return d.DoseVolume_Parameters(**values)


def flow_parameters(rate=150.0, unit="rpm", duration=0.0, duration_unit="s"):
    return f.StartFlow_Parameters(Rate=fw.Real(value=rate), Unit=fw.String(value=unit),
                                  Duration=fw.Real(value=duration), DurationUnit=fw.String(value=duration_unit))


def wait_idle():
    """Until the pump is idle; subscriptions a test left are let go within moments."""
    stub = pg.PumpStatusProviderStub(rig.channel)
    end = time.monotonic() + 15
    while True:
        states = stub.Subscribe_RunState(p.Subscribe_RunState_Parameters(), timeout=15)
        try:
            for state in states:
                if state.RunState.value == "Idle":
                    return
        except grpc.RpcError as e:
            if e.code() != grpc.StatusCode.RESOURCE_EXHAUSTED or time.monotonic() > end:
                raise
            time.sleep(0.05)
        finally:
            states.cancel()


class SiLAServiceTest(unittest.TestCase):
    def setUp(self):
        self.stub = sg.SiLAServiceStub(rig.channel)

    def test_properties_follow_their_constraints(self):
        table = [
            ("ServerType", lambda: self.stub.Get_ServerType(s.Get_ServerType_Parameters()).ServerType.value,
             r"[A-Z][a-zA-Z0-9]*"),
            ("ServerUUID", lambda: self.stub.Get_ServerUUID(s.Get_ServerUUID_Parameters()).ServerUUID.value,
             r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}"),
            ("ServerVersion", lambda: self.stub.Get_ServerVersion(s.Get_ServerVersion_Parameters()).ServerVersion.value,
             r"(0|[1-9][0-9]*)\.(0|[1-9][0-9]*)(\.(0|[1-9][0-9]*))?(_[_a-zA-Z0-9]+)?"),
            ("ServerVendorURL", lambda: self.stub.Get_ServerVendorURL(s.Get_ServerVendorURL_Parameters()).ServerVendorURL.value,
             r"https?://.+"),
            ("ServerDescription", lambda: self.stub.Get_ServerDescription(s.Get_ServerDescription_Parameters()).ServerDescription.value,
             r".*pump.*"),
        ]
        for name, read, pattern in table:
            with self.subTest(name):
                self.assertRegex(read(), "^(" + pattern + ")$")

    def test_uuid_is_kept_in_the_settings(self):
        uuid = self.stub.Get_ServerUUID(s.Get_ServerUUID_Parameters()).ServerUUID.value
        with open(os.path.join(rig.config, "vyt", "vyt.conf"), encoding="utf-8") as conf:
            self.assertIn(f"ServerUUID={uuid}", conf.read())

    def test_server_name_is_set_and_kept(self):
        table = [("plain", "Pump 3, bench B"), ("umlauts and markup", "Pumpe <b>Süd</b> & \"Nord\""),
                 ("255 characters", "x" * 255)]
        for name, value in table:
            with self.subTest(name):
                self.stub.SetServerName(s.SetServerName_Parameters(ServerName=fw.String(value=value)))
                self.assertEqual(self.stub.Get_ServerName(s.Get_ServerName_Parameters()).ServerName.value, value)
        kind, detail = sila_error_of(lambda: self.stub.SetServerName(
            s.SetServerName_Parameters(ServerName=fw.String(value="y" * 256))))
        self.assertEqual(kind, "validationError")
        self.assertEqual(detail.parameter,
                         "org.silastandard/core/SiLAService/v1/Command/SetServerName/Parameter/ServerName")
        with open(os.path.join(rig.config, "vyt", "vyt.conf"), encoding="utf-8") as conf:
            self.assertIn("ServerName=" + "x" * 255, conf.read())

    def test_implemented_features(self):
        listed = [x.value for x in self.stub.Get_ImplementedFeatures(s.Get_ImplementedFeatures_Parameters()).ImplementedFeatures]
        self.assertEqual(sorted(listed), sorted(FEATURES))

    def test_every_definition_is_valid_against_the_schema(self):
        for feature in FEATURES:
            with self.subTest(feature):
                xml = self.stub.GetFeatureDefinition(s.GetFeatureDefinition_Parameters(
                    FeatureIdentifier=fw.String(value=feature))).FeatureDefinition.value
                identifier = feature.split("/")[2]
                self.assertIn(f"<Identifier>{identifier}</Identifier>", xml)
                path = os.path.join(rig.work, identifier + ".sila.xml")
                with open(path, "w", encoding="utf-8") as out:
                    out.write(xml)
                checked = subprocess.run(["xmllint", "--noout", "--nonet", "--schema", SCHEMA, path],
                                         capture_output=True, text=True)
                self.assertEqual(checked.returncode, 0, checked.stderr)

    def test_unknown_features_are_refused(self):
        table = [("not implemented", "org.silastandard/core/LockController/v1", "definedExecutionError",
                  "org.silastandard/core/SiLAService/v1/DefinedExecutionError/UnimplementedFeature"),
                 ("no identifier", "../../etc/passwd", "validationError",
                  "org.silastandard/core/SiLAService/v1/Command/GetFeatureDefinition/Parameter/FeatureIdentifier"),
                 ("huge", "a" * 60000, "validationError",
                  "org.silastandard/core/SiLAService/v1/Command/GetFeatureDefinition/Parameter/FeatureIdentifier")]
        for name, feature, kind, where in table:
            with self.subTest(name):
                got_kind, detail = sila_error_of(lambda: self.stub.GetFeatureDefinition(
                    s.GetFeatureDefinition_Parameters(FeatureIdentifier=fw.String(value=feature))))
                self.assertEqual(got_kind, kind)
                self.assertEqual(getattr(detail, "parameter", "") or detail.errorIdentifier, where)


class RunTest(unittest.TestCase):
    def setUp(self):
        self.dosing = dg.PumpDosingServiceStub(rig.channel)
        self.flow = fg.ContinuousFlowServiceStub(rig.channel)
        wait_idle()

    def tearDown(self):
        self.dosing.Stop(d.Stop_Parameters())
        wait_idle()

    def test_dose_volume_to_the_wire(self):
        before = len(rig.received())
        uuid = self.dosing.DoseVolume(dose_parameters(30, "µl", 3, 0, "ms")).commandExecutionUUID
        self.assertRegex(uuid.value, r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
        intermediate = []
        reader = threading.Thread(target=lambda: intermediate.extend(
            (x.DosesDone.value, x.Delivered.value) for x in self.dosing.DoseVolume_Intermediate(uuid, timeout=30)))
        reader.start()
        infos = list(self.dosing.DoseVolume_Info(uuid, timeout=30))
        reader.join(30)
        self.assertEqual(infos[-1].commandStatus, fw.ExecutionInfo.finishedSuccessfully)
        self.assertEqual(infos[-1].progressInfo.value, 1.0)
        progress = [i.progressInfo.value for i in infos]
        self.assertEqual(progress, sorted(progress), "progress never goes back")
        self.assertTrue(all(i.HasField("estimatedRemainingTime") for i in infos))
        result = self.dosing.DoseVolume_Result(uuid)
        self.assertEqual((result.DosesDone.value, result.Delivered.value), (3, 90.0))
        self.assertEqual(result.Outcome.value, "3 of 3 doses done, 90 µl")
        # One answer per new amount, in order; the last one before the end at most the result.
        self.assertTrue(intermediate, "intermediate responses came")
        self.assertEqual(intermediate, sorted(set(intermediate)))
        self.assertTrue(all(delivered == 30.0 * done for done, delivered in intermediate))
        # vyt-P01: 30 µl are 1280 increments; the same wire as the window's Start.
        wire = rig.received()[before:]
        start = wire.index("DIPROG")
        self.assertEqual(wire[start:], ["DIPROG", "SOR 0", "CONTMOD", "HO", "LA 0", "M", "LA 1280", "NP 1280",
                                        "M", "LA 2560", "NP 2560", "M", "LA 3840", "NP 3840", "M"])
        with open(os.path.join(rig.config, "vyt-pump-controller", "runs.csv"), encoding="utf-8") as journal:
            last = journal.read().splitlines()[-1]
        self.assertIn("remote SiLA 2 127.0.0.1:", last)
        self.assertIn(",completed,", last)

    def test_flow_then_stop(self):
        uuid = self.flow.StartFlow(flow_parameters(150, "rpm", 0, "s")).commandExecutionUUID
        wait_until(lambda: "V 150" in rig.received(), what="V 150")
        infos = self.flow.StartFlow_Info(uuid, timeout=30)
        first = next(infos)
        self.assertEqual(first.commandStatus, fw.ExecutionInfo.running)
        self.assertFalse(first.HasField("estimatedRemainingTime"), "a flow until Stop has no end to estimate")
        self.flow.Stop(f.Stop_Parameters())
        wait_until(lambda: rig.received()[-2:] == ["SOR 0", "V 0"], timeout=2, what="the stop on the line")
        last = list(infos)[-1]
        self.assertEqual(last.commandStatus, fw.ExecutionInfo.finishedSuccessfully)
        self.assertRegex(self.flow.StartFlow_Result(uuid).Outcome.value, r"^Flow ")

    def test_cancel_stops_the_drive(self):
        cancel = cg.CancelControllerStub(rig.channel)
        table = [("CancelCommand", lambda uuid: cancel.CancelCommand(c.CancelCommand_Parameters(
                     CommandExecutionUUID=c.DataType_UUID(UUID=fw.String(value=uuid.value))))),
                 ("CancelAll", lambda uuid: cancel.CancelAll(c.CancelAll_Parameters()))]
        for name, cancelling in table:
            with self.subTest(name):
                wait_idle()
                uuid = self.flow.StartFlow(flow_parameters(150, "rpm", 0, "s")).commandExecutionUUID
                wait_until(lambda: rig.received()[-1:] == ["V 150"], what="V 150")
                cancelling(uuid)
                wait_until(lambda: rig.received()[-2:] == ["SOR 0", "V 0"], what="the stop")
                infos = list(self.flow.StartFlow_Info(uuid, timeout=10))
                self.assertEqual(infos[-1].commandStatus, fw.ExecutionInfo.finishedWithError)
                kind, detail = sila_error_of(lambda: self.flow.StartFlow_Result(uuid))
                self.assertEqual(kind, "definedExecutionError")
                self.assertEqual(detail.errorIdentifier, FLOW + "/DefinedExecutionError/RunInterrupted")
                self.assertTrue(detail.message.startswith("Cancelled by a SiLA 2 client: "), detail.message)

    def test_a_running_pump_is_busy(self):
        self.flow.StartFlow(flow_parameters(150, "rpm", 0, "s"))
        wait_until(lambda: "V 150" in rig.received(), what="V 150")
        before = len(rig.received())
        for name, call in [("dose", lambda: self.dosing.DoseVolume(dose_parameters())),
                           ("flow", lambda: self.flow.StartFlow(flow_parameters(100, "rpm")))]:
            with self.subTest(name):
                started = time.monotonic()
                kind, detail = sila_error_of(call)
                self.assertLess(time.monotonic() - started, 2, "busy is told at once, never a hang")
                self.assertEqual(kind, "definedExecutionError")
                self.assertTrue(detail.errorIdentifier.endswith("/DefinedExecutionError/PumpBusy"))
                self.assertEqual(detail.message, "A run is going on.")
        self.assertEqual(rig.received()[before:], [], "nothing went to the controller")


class RefusalTest(unittest.TestCase):
    def setUp(self):
        self.dosing = dg.PumpDosingServiceStub(rig.channel)
        self.flow = fg.ContinuousFlowServiceStub(rig.channel)
        wait_idle()

    def test_refused_values_name_the_parameter(self):
        q = DOSING + "/Command/DoseVolume/Parameter/"
        r = FLOW + "/Command/StartFlow/Parameter/"
        table = [
            ("impossible quantity", lambda: self.dosing.DoseVolume(dose_parameters(quantity=1e12)), q + "Quantity", r"^Please enter a value from "),
            ("not a number", lambda: self.dosing.DoseVolume(dose_parameters(quantity=float("nan"))), q + "Quantity", r"^Please enter a real number\.$"),
            ("infinite", lambda: self.dosing.DoseVolume(dose_parameters(quantity=float("inf"))), q + "Quantity", r"^Please enter a real number\.$"),
            ("unknown unit", lambda: self.dosing.DoseVolume(dose_parameters(unit="ml")), q + "Unit", r'^Unit must be one of "µl", "mg", "rev\."\.$'),
            ("huge unit", lambda: self.dosing.DoseVolume(dose_parameters(unit="µl" * 20000)), q + "Unit", r"^Unit must be one of "),
            ("no repetitions", lambda: self.dosing.DoseVolume(dose_parameters(repetitions=0)), q + "Repetitions", r"^Repetitions must be at least 1\.$"),
            ("negative repetitions", lambda: self.dosing.DoseVolume(dose_parameters(repetitions=-2**63)), q + "Repetitions", r"^Repetitions must be at least 1\.$"),
            ("too many repetitions", lambda: self.dosing.DoseVolume(dose_parameters(repetitions=2**62)), q + "Repetitions", r"^Please enter "),
            ("negative pause", lambda: self.dosing.DoseVolume(dose_parameters(pause=-1)), q + "Pause", r"^Please enter "),
            ("missing quantity", lambda: self.dosing.DoseVolume(dose_parameters(Quantity=None)), q + "Quantity", r"^The parameter Quantity is missing\.$"),
            ("nothing at all", lambda: self.dosing.DoseVolume(d.DoseVolume_Parameters()), q + "Quantity", r"is missing"),
            ("impossible rate", lambda: self.flow.StartFlow(flow_parameters(rate=1e9)), r + "Rate", r"^The continuous flow needs a velocity of 1E\+09 rpm\nand is bigger than the max\. velocity\.$"),
            ("flow unit of a dose", lambda: self.flow.StartFlow(flow_parameters(unit="µl")), r + "Unit", r"^Unit must be one of "),
            ("negative duration", lambda: self.flow.StartFlow(flow_parameters(duration=-5)), r + "Duration", r"^Please enter "),
        ]
        before = len(rig.received())
        for name, call, parameter, message in table:
            with self.subTest(name):
                kind, detail = sila_error_of(call)
                self.assertEqual(kind, "validationError")
                self.assertEqual(detail.parameter, parameter)
                self.assertRegex(detail.message, message)
        self.assertEqual([x for x in rig.received()[before:] if x not in ("VER", "GN")], [],
                         "a refused command sends nothing that moves")

    def test_hostile_execution_uuids(self):
        uuids = [("unknown", "01234567-89ab-cdef-0123-456789abcdef"), ("not a UUID", "'; DROP TABLE runs; --"),
                 ("empty", ""), ("upper case", "01234567-89AB-CDEF-0123-456789ABCDEF"), ("huge", "0" * 60000)]
        calls = [("DoseVolume_Info", lambda u: list(self.dosing.DoseVolume_Info(u, timeout=5))),
                 ("DoseVolume_Intermediate", lambda u: list(self.dosing.DoseVolume_Intermediate(u, timeout=5))),
                 ("DoseVolume_Result", lambda u: self.dosing.DoseVolume_Result(u, timeout=5)),
                 ("StartFlow_Info", lambda u: list(self.flow.StartFlow_Info(u, timeout=5))),
                 ("StartFlow_Result", lambda u: self.flow.StartFlow_Result(u, timeout=5))]
        for uuid_name, uuid in uuids:
            for call_name, call in calls:
                with self.subTest(f"{call_name} {uuid_name}"):
                    kind, detail = sila_error_of(lambda: call(fw.CommandExecutionUUID(value=uuid)))
                    self.assertEqual(kind, "frameworkError")
                    self.assertEqual(detail.errorType, fw.FrameworkError.INVALID_COMMAND_EXECUTION_UUID)

    def test_too_large_a_message_is_refused(self):
        with self.assertRaises(grpc.RpcError) as raised:
            self.dosing.DoseVolume(dose_parameters(unit="x" * (2 * 1024 * 1024)))
        self.assertEqual(raised.exception.code(), grpc.StatusCode.RESOURCE_EXHAUSTED)
        # ... and the server goes on.
        sg.SiLAServiceStub(rig.channel).Get_ServerName(s.Get_ServerName_Parameters())

    def test_result_of_a_running_command_is_not_finished(self):
        uuid = self.flow.StartFlow(flow_parameters(150, "rpm", 0, "s")).commandExecutionUUID
        try:
            kind, detail = sila_error_of(lambda: self.flow.StartFlow_Result(uuid))
            self.assertEqual(kind, "frameworkError")
            self.assertEqual(detail.errorType, fw.FrameworkError.COMMAND_EXECUTION_NOT_FINISHED)
        finally:
            self.flow.Stop(f.Stop_Parameters())


class MethodTest(unittest.TestCase):
    def setUp(self):
        self.methods = mg.MethodRunnerStub(rig.channel)
        wait_idle()

    def tearDown(self):
        dg.PumpDosingServiceStub(rig.channel).Stop(d.Stop_Parameters())
        wait_idle()

    def run_until_prompt(self):
        before = len(rig.received())
        uuid = self.methods.RunMethod(m.RunMethod_Parameters(Method=fw.String(value=DOSE_PROMPT_DOSE))).commandExecutionUUID
        steps = self.methods.RunMethod_Intermediate(uuid, timeout=30)
        for step in steps:
            if step.Prompt.value:
                self.assertEqual((step.Step.value, step.Steps.value), (2, 3))
                self.assertEqual(step.Prompt.value, "Place the <b>vial</b>, then continue.")
                break
        return uuid, steps, before

    def test_a_method_runs_through_its_prompt(self):
        uuid, steps, before = self.run_until_prompt()
        self.methods.ContinueMethod(m.ContinueMethod_Parameters())
        infos = list(self.methods.RunMethod_Info(uuid, timeout=30))
        self.assertEqual(infos[-1].commandStatus, fw.ExecutionInfo.finishedSuccessfully)
        self.assertEqual(self.methods.RunMethod_Result(uuid).Outcome.value, "Method Dose, ask, dose completed.")
        moves = [x for x in rig.received()[before:] if x.startswith("NP ")]
        self.assertEqual(len(moves), 2, "one move per dose step")
        steps.cancel()

    def test_cancelling_a_method_at_its_prompt(self):
        uuid, steps, _ = self.run_until_prompt()
        steps.cancel()
        cg.CancelControllerStub(rig.channel).CancelCommand(c.CancelCommand_Parameters(
            CommandExecutionUUID=c.DataType_UUID(UUID=fw.String(value=uuid.value))))
        infos = list(self.methods.RunMethod_Info(uuid, timeout=10))
        self.assertEqual(infos[-1].commandStatus, fw.ExecutionInfo.finishedWithError)
        kind, detail = sila_error_of(lambda: self.methods.RunMethod_Result(uuid))
        self.assertEqual(detail.errorIdentifier, METHOD + "/DefinedExecutionError/MethodInterrupted")
        self.assertTrue(detail.message.startswith("Cancelled by a SiLA 2 client: Stopped at step 2 of 3"), detail.message)

    def test_refusals(self):
        parameter = METHOD + "/Command/RunMethod/Parameter/Method"
        wait_too_long = json.dumps({"format": "vyt-method/1", "name": "x", "steps": [
            {"wait": {"duration": 25, "duration_unit": "h"}}]})
        table = [("not JSON", lambda: self.methods.RunMethod(m.RunMethod_Parameters(Method=fw.String(value="{"))),
                  "validationError", parameter),
                 ("a step refused", lambda: self.methods.RunMethod(m.RunMethod_Parameters(Method=fw.String(value=wait_too_long))),
                  "validationError", parameter),
                 ("no method", lambda: self.methods.RunMethod(m.RunMethod_Parameters()), "validationError", parameter),
                 ("nothing waits", lambda: self.methods.ContinueMethod(m.ContinueMethod_Parameters()),
                  "definedExecutionError", METHOD + "/DefinedExecutionError/NoPrompt")]
        for name, call, kind, where in table:
            with self.subTest(name):
                got, detail = sila_error_of(call)
                self.assertEqual(got, kind)
                self.assertEqual(getattr(detail, "parameter", "") or detail.errorIdentifier, where)
        got, detail = sila_error_of(table[1][1])
        self.assertRegex(detail.message, r"^step 1 \(wait\): ")


class StatusTest(unittest.TestCase):
    def test_properties_follow_a_dose(self):
        wait_idle()
        status = pg.PumpStatusProviderStub(rig.channel)
        states, counts = [], []
        run_state = status.Subscribe_RunState(p.Subscribe_RunState_Parameters(), timeout=30)
        dose_count = status.Subscribe_DoseCount(p.Subscribe_DoseCount_Parameters(), timeout=30)
        threading.Thread(target=lambda: [states.append(x.RunState.value) for x in run_state], daemon=True).start()
        threading.Thread(target=lambda: [counts.append((x.DoseCount.Done.value, x.DoseCount.Total.value))
                                         for x in dose_count], daemon=True).start()
        wait_until(lambda: states and counts, what="the first values")
        dosing = dg.PumpDosingServiceStub(rig.channel)
        uuid = dosing.DoseVolume(dose_parameters(3, "µl", 2, 0, "ms")).commandExecutionUUID
        list(dosing.DoseVolume_Info(uuid, timeout=30))
        wait_until(lambda: states[-1] == "Idle" and counts[-1] == (2, 2), what="the end of the dose")
        run_state.cancel()
        dose_count.cancel()
        self.assertIn("Dosing", states)
        self.assertEqual(states[0], "Idle")
        self.assertTrue(all(a != b for a, b in zip(states, states[1:])), f"each value once: {states}")

    def test_unobservable_properties(self):
        status = pg.PumpStatusProviderStub(rig.channel)
        self.assertEqual(status.Get_PumpType(p.Get_PumpType_Parameters()).PumpType.value, "vyt-P01")
        limits = status.Get_DriveLimits(p.Get_DriveLimits_Parameters()).DriveLimits
        self.assertGreater(limits.MaximumSpeed.value, 0)
        self.assertGreater(limits.PeakCurrent.value, 0)
        runs = [x.value for x in status.Get_LastRuns(p.Get_LastRuns_Parameters()).LastRuns]
        self.assertLessEqual(len(runs), 20)

    def test_link_state_is_answering(self):
        status = pg.PumpStatusProviderStub(rig.channel)
        link = status.Subscribe_LinkState(p.Subscribe_LinkState_Parameters(), timeout=10)
        self.assertEqual(next(link).LinkState.value, "Answering")
        link.cancel()


class ConnectionTest(unittest.TestCase):
    def test_without_tls_or_trust_nothing_connects(self):
        table = [("plain text", grpc.insecure_channel(f"127.0.0.1:{rig.port}")),
                 ("untrusted certificate", grpc.secure_channel(f"127.0.0.1:{rig.port}", grpc.ssl_channel_credentials()))]
        for name, channel in table:
            with self.subTest(name):
                stub = sg.SiLAServiceStub(channel)
                with self.assertRaises(grpc.RpcError) as raised:
                    stub.Get_ServerName(s.Get_ServerName_Parameters(), timeout=5)
                self.assertEqual(raised.exception.code(), grpc.StatusCode.UNAVAILABLE)
                channel.close()

    def test_a_stop_gets_through_silent_and_garbage_connections(self):
        table = [("silent", b""), ("garbage", b"\x16\x03\x01\xff\xff" + b"x" * 4096),
                 ("plain HTTP/2 preface", b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n")]
        for name, bytes_sent in table:
            with self.subTest(name):
                held = []
                for _ in range(100):
                    sock = socket.create_connection(("127.0.0.1", rig.port))
                    if bytes_sent:
                        sock.sendall(bytes_sent)
                    held.append(sock)
                started = time.monotonic()
                dg.PumpDosingServiceStub(rig.channel).Stop(d.Stop_Parameters(), timeout=5)
                self.assertLess(time.monotonic() - started, 1)
                for sock in held:
                    sock.close()

    def test_a_stop_gets_through_while_streams_fill_the_server(self):
        status = pg.PumpStatusProviderStub(rig.channel)
        streams = [status.Subscribe_RunState(p.Subscribe_RunState_Parameters(), timeout=30) for _ in range(40)]
        refused = 0
        for stream in streams:
            try:
                next(stream)
            except grpc.RpcError as e:
                self.assertEqual(e.code(), grpc.StatusCode.RESOURCE_EXHAUSTED)
                refused += 1
        self.assertGreater(refused, 0, "the number of streams is bounded")
        flow = fg.ContinuousFlowServiceStub(rig.channel)
        wait_idle_before = time.monotonic()
        flow.StartFlow(flow_parameters(150, "rpm", 0, "s"))
        wait_until(lambda: rig.received()[-1:] == ["V 150"], what="V 150")
        flow.Stop(f.Stop_Parameters(), timeout=5)
        wait_until(lambda: rig.received()[-2:] == ["SOR 0", "V 0"], timeout=2, what="the stop on the line")
        for stream in streams:
            stream.cancel()
        self.assertLess(time.monotonic() - wait_idle_before, 20)


class ZEndTest(unittest.TestCase):
    """Last: the program ends on SIGTERM with streams open, the drive stopped first."""

    def test_terminate_with_streams_open(self):
        wait_idle()
        status = pg.PumpStatusProviderStub(rig.channel)
        streams = [status.Subscribe_RunState(p.Subscribe_RunState_Parameters(), timeout=30) for _ in range(8)]
        for stream in streams:
            next(stream)
        flow = fg.ContinuousFlowServiceStub(rig.channel)
        uuid = flow.StartFlow(flow_parameters(150, "rpm", 0, "s")).commandExecutionUUID
        info = flow.StartFlow_Info(uuid, timeout=30)
        next(info)
        wait_until(lambda: rig.received()[-1:] == ["V 150"], what="V 150")
        started = time.monotonic()
        rig.program.terminate()
        rig.ended = True
        self.assertEqual(rig.program.wait(10), 128 + 15)
        self.assertLess(time.monotonic() - started, 5, "no stream holds the program")
        wait_until(lambda: rig.received()[-2:] == ["SOR 0", "V 0"], timeout=2, what="the stop on the line")
        for stream in streams + [info]:
            stream.cancel()


class ExampleTest(unittest.TestCase):
    def test_the_example_doses(self):
        wait_idle()
        env = dict(os.environ, XDG_CONFIG_HOME=rig.config)
        run = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "sila_dose.py"),
                              "--server", f"127.0.0.1:{rig.port}", "dose", "3", "µl", "--repetitions", "2"],
                             capture_output=True, text=True, env=env, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.strip(), "2 of 2 doses done, 6 µl")
        refused = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "sila_dose.py"),
                                  "--server", f"127.0.0.1:{rig.port}", "dose", "1e12", "µl"],
                                 capture_output=True, text=True, env=env, timeout=60)
        self.assertEqual(refused.returncode, 1)
        self.assertIn("validationError " + DOSING + "/Command/DoseVolume/Parameter/Quantity: Please enter",
                      refused.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
