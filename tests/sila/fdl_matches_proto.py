#!/usr/bin/env python3
"""Each feature definition in src/sila/features against its protocol file in src/sila/proto.

The protocol files are written by hand; this derives from every feature definition the
services and messages SiLA 2's mapping rules call for and compares them with what protoc
reads from the protocol file: rpcs, streaming, message names, field names, numbers, types.

    fdl_matches_proto.py [--protoc PROTOC] [--features DIR] [--proto DIR]

Exit 0: all match; 1: a mismatch (each printed); 77: protoc or google.protobuf missing.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

SKIP = 77
NS = "{http://www.sila-standard.org}"
FRAMEWORK = "sila2.org.silastandard"
# The standard's own protocol files, which no feature definition maps to.
FRAMEWORK_FILES = {"SiLAFramework.proto", "SiLABinaryTransfer.proto"}
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))

try:
    from google.protobuf import descriptor_pb2
    from google.protobuf.descriptor_pb2 import FieldDescriptorProto
except ImportError:
    print("SKIP: google.protobuf is not installed (python3-protobuf)")
    sys.exit(SKIP)


class Field:
    def __init__(self, name, number, type_name, repeated):
        self.name, self.number, self.type_name, self.repeated = name, number, type_name, repeated

    def text(self):
        return "%s%s %s = %d" % ("repeated " if self.repeated else "", self.type_name, self.name, self.number)


class Rpc:
    def __init__(self, name, input_type, output_type, server_streaming):
        self.name, self.input_type, self.output_type = name, input_type, output_type
        self.server_streaming = server_streaming

    def text(self):
        return "rpc %s (%s) returns (%s%s)" % (
            self.name, self.input_type, "stream " if self.server_streaming else "", self.output_type)


class Expected:
    """The protocol a feature definition maps to: its package, service and messages."""

    def __init__(self, package, service):
        self.package, self.service = package, service
        self.rpcs = []  # in the definition's order
        self.messages = {}  # full name -> [Field]

    def full(self, name):
        return "%s.%s" % (self.package, name)


def child(element, tag):
    return element.find(NS + tag)


def children(element, tag):
    return element.findall(NS + tag)


def text_of(element, tag):
    found = child(element, tag)
    return found.text.strip() if found is not None and found.text else ""


def field_type(data_type, owner, identifier, expected, where):
    """(type name, repeated) of a field of this SiLA data type in message owner; a Structure
    adds its message, nested in owner, to expected."""
    kind = list(data_type)[0] if len(data_type) else None
    if kind is None:
        raise ValueError("%s: empty DataType" % where)
    tag = kind.tag[len(NS):]
    if tag == "Basic":
        return "%s.%s" % (FRAMEWORK, kind.text.strip()), False
    if tag == "Constrained":
        return field_type(child(kind, "DataType"), owner, identifier, expected, where)
    if tag == "List":
        inner, repeated = field_type(child(kind, "DataType"), owner, identifier, expected, where)
        if repeated:
            raise ValueError("%s: a List of Lists has no protocol mapping" % where)
        return inner, True
    if tag == "Structure":
        struct = "%s.%s_Struct" % (owner, identifier)
        expected.messages[struct] = element_fields(
            children(kind, "Element"), struct, expected, where + "/" + identifier)
        return struct, False
    if tag == "DataTypeIdentifier":
        return expected.full("DataType_" + kind.text.strip()), False
    raise ValueError("%s: unknown data type <%s>" % (where, tag))


def element_fields(elements, owner, expected, where):
    fields = []
    for number, element in enumerate(elements, start=1):
        identifier = text_of(element, "Identifier")
        type_name, repeated = field_type(child(element, "DataType"), owner, identifier, expected,
                                         "%s/%s" % (where, identifier))
        fields.append(Field(identifier, number, type_name, repeated))
    return fields


def add_message(expected, name, elements, where):
    full = expected.full(name)
    expected.messages[full] = element_fields(elements, full, expected, where)
    return full


def expected_from_fdl(path):
    root = ET.parse(path).getroot()
    if root.tag != NS + "Feature":
        raise ValueError("%s: the root element is not a SiLA Feature" % path)
    identifier = text_of(root, "Identifier")
    major = root.get("FeatureVersion", "").split(".")[0]
    originator = root.get("Originator", "")
    category = root.get("Category", "none")
    package = "sila2.%s.%s.%s.v%s" % (originator, category, identifier.lower(), major)
    expected = Expected(package, identifier)
    uuid = "%s.CommandExecutionUUID" % FRAMEWORK

    # Data type definitions first: their messages are referred to by the others.
    for definition in children(root, "DataTypeDefinition"):
        name = text_of(definition, "Identifier")
        add_message(expected, "DataType_" + name, [definition], "DataTypeDefinition " + name)

    for command in children(root, "Command"):
        name = text_of(command, "Identifier")
        where = "Command " + name
        parameters = add_message(expected, name + "_Parameters", children(command, "Parameter"), where)
        responses = add_message(expected, name + "_Responses", children(command, "Response"), where)
        if text_of(command, "Observable") == "Yes":
            expected.rpcs.append(Rpc(name, parameters, "%s.CommandConfirmation" % FRAMEWORK, False))
            expected.rpcs.append(Rpc(name + "_Info", uuid, "%s.ExecutionInfo" % FRAMEWORK, True))
            intermediate = children(command, "IntermediateResponse")
            if intermediate:
                message = add_message(expected, name + "_IntermediateResponses", intermediate, where)
                expected.rpcs.append(Rpc(name + "_Intermediate", uuid, message, True))
            expected.rpcs.append(Rpc(name + "_Result", uuid, responses, False))
        else:
            expected.rpcs.append(Rpc(name, parameters, responses, False))

    for prop in children(root, "Property"):
        name = text_of(prop, "Identifier")
        observable = text_of(prop, "Observable") == "Yes"
        rpc = ("Subscribe_" if observable else "Get_") + name
        parameters = add_message(expected, rpc + "_Parameters", [], "Property " + name)
        responses = add_message(expected, rpc + "_Responses", [prop], "Property " + name)
        expected.rpcs.append(Rpc(rpc, parameters, responses, observable))

    for metadata in children(root, "Metadata"):
        name = text_of(metadata, "Identifier")
        where = "Metadata " + name
        rpc = "Get_FCPAffectedByMetadata_" + name
        add_message(expected, "Metadata_" + name, [metadata], where)
        parameters = add_message(expected, rpc + "_Parameters", [], where)
        responses = expected.full(rpc + "_Responses")
        expected.messages[responses] = [Field("AffectedCalls", 1, "%s.String" % FRAMEWORK, True)]
        expected.rpcs.append(Rpc(rpc, parameters, responses, False))
    return expected


def messages_of(descriptors, prefix, into):
    for message in descriptors:
        full = "%s.%s" % (prefix, message.name)
        into[full] = message
        messages_of(message.nested_type, full, into)
    return into


def compare(fdl_name, expected, proto_file, problems):
    def problem(text):
        problems.append("%s: %s" % (fdl_name, text))

    proto_name = proto_file.name
    if proto_file.syntax != "proto3":
        problem("%s is not proto3" % proto_name)
    if proto_file.package != expected.package:
        problem("package is %r in %s, the feature calls for %r" %
                (proto_file.package, proto_name, expected.package))
    services = {s.name: s for s in proto_file.service}
    if list(services) != [expected.service]:
        problem("%s has the services %s, the feature calls for exactly one named %s" %
                (proto_name, sorted(services) or "(none)", expected.service))

    # Names in the proto are compared as if they were in the expected package, so that a
    # wrong package is reported once above and not again for every message.
    def local(name):
        name = name.lstrip(".")
        if proto_file.package and name.startswith(proto_file.package + "."):
            return expected.package + name[len(proto_file.package):]
        return name

    service = services.get(expected.service)
    if service is not None:
        actual_rpcs = {m.name: m for m in service.method}
        for rpc in expected.rpcs:
            method = actual_rpcs.get(rpc.name)
            if method is None:
                problem("service %s lacks %s" % (expected.service, rpc.text()))
                continue
            actual = Rpc(method.name, local(method.input_type), local(method.output_type),
                         method.server_streaming)
            if method.client_streaming or actual.text() != rpc.text():
                problem("service %s has\n      %s%s\n    the feature calls for\n      %s" % (
                    expected.service, "stream-in " if method.client_streaming else "",
                    actual.text(), rpc.text()))
        wanted = {rpc.name for rpc in expected.rpcs}
        for name in actual_rpcs:
            if name not in wanted:
                problem("service %s has rpc %s, which the feature does not define" % (expected.service, name))

    actual_messages = {local(k): v for k, v in
                       messages_of(proto_file.message_type, proto_file.package, {}).items()}
    for full, fields in expected.messages.items():
        message = actual_messages.get(full)
        if message is None:
            problem("%s lacks message %s" % (proto_name, full))
            continue
        actual_fields = {f.name: f for f in message.field}
        for field in fields:
            f = actual_fields.get(field.name)
            if f is None:
                problem("message %s lacks field %s" % (full, field.text()))
                continue
            if f.type != FieldDescriptorProto.TYPE_MESSAGE:
                actual_text = "%s%s %s = %d" % (
                    "repeated " if f.label == FieldDescriptorProto.LABEL_REPEATED else "",
                    FieldDescriptorProto.Type.Name(f.type), f.name, f.number)
            else:
                actual_text = Field(f.name, f.number, local(f.type_name),
                                    f.label == FieldDescriptorProto.LABEL_REPEATED).text()
            if actual_text != field.text():
                problem("message %s has field\n      %s\n    the feature calls for\n      %s" %
                        (full, actual_text, field.text()))
        wanted = {field.name for field in fields}
        for f in message.field:
            if f.name not in wanted:
                problem("message %s has field %s = %d, which the feature does not define" %
                        (full, f.name, f.number))
    for full in actual_messages:
        if full not in expected.messages:
            problem("%s has message %s, which the feature does not call for" % (proto_name, full))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--protoc", default=shutil.which("protoc"))
    parser.add_argument("--features", default=os.path.join(ROOT, "src", "sila", "features"))
    parser.add_argument("--proto", default=os.path.join(ROOT, "src", "sila", "proto"))
    args = parser.parse_args()
    if not args.protoc or not os.access(args.protoc, os.X_OK):
        print("SKIP: protoc is not installed (protobuf-compiler)")
        return SKIP

    definitions = sorted(f for f in os.listdir(args.features) if f.endswith(".sila.xml"))
    if not definitions:
        print("FAIL: no feature definitions in %s" % args.features)
        return 1
    problems = []
    matched = set()
    with tempfile.TemporaryDirectory() as scratch:
        for fdl_name in definitions:
            try:
                expected = expected_from_fdl(os.path.join(args.features, fdl_name))
            except (ET.ParseError, ValueError) as error:
                problems.append("%s: %s" % (fdl_name, error))
                continue
            proto_name = expected.service + ".proto"
            if not os.path.exists(os.path.join(args.proto, proto_name)):
                problems.append("%s: there is no %s in %s" % (fdl_name, proto_name, args.proto))
                continue
            matched.add(proto_name)
            out = os.path.join(scratch, proto_name + ".pb")
            run = subprocess.run([args.protoc, "--include_imports", "--descriptor_set_out=" + out,
                                  "-I", args.proto, proto_name],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
            if run.returncode != 0:
                problems.append("%s: protoc cannot read %s:\n%s" % (fdl_name, proto_name, run.stdout))
                continue
            files = descriptor_pb2.FileDescriptorSet()
            with open(out, "rb") as f:
                files.ParseFromString(f.read())
            proto_file = next(p for p in files.file if p.name == proto_name)
            before = len(problems)
            compare(fdl_name, expected, proto_file, problems)
            print("%s: %s %s" % ("ok" if len(problems) == before else "MISMATCH", fdl_name, proto_name))

    for proto_name in sorted(os.listdir(args.proto)):
        if proto_name.endswith(".proto") and proto_name not in matched and proto_name not in FRAMEWORK_FILES:
            problems.append("%s has no feature definition in %s" % (proto_name, args.features))

    for p in problems:
        print("FAIL: " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
