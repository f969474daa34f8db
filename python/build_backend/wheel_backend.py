"""A build backend of the standard library alone, so that `pip install ./python` needs nothing
from a package index: it packs norva_sim into a wheel as it stands (PEP 517 and PEP 427)."""
import base64
import hashlib
import os
import zipfile

NAME, VERSION = "norva_sim", "0.1.0"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DIST_INFO = f"{NAME}-{VERSION}.dist-info"
METADATA = f"""Metadata-Version: 2.1
Name: norva-sim
Version: {VERSION}
Summary: A client of the simulators norva serves, with Gymnasium's signatures
Requires-Python: >=3.9
Provides-Extra: grpc
Requires-Dist: grpcio; extra == "grpc"
Requires-Dist: protobuf; extra == "grpc"
"""
WHEEL = ("Wheel-Version: 1.0\nGenerator: norva wheel_backend\nRoot-Is-Purelib: true\n"
         "Tag: py3-none-any\n")


def get_requires_for_build_wheel(config_settings=None):
    return []


def _record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}"


def _files():
    package = os.path.join(ROOT, NAME)
    for name in sorted(os.listdir(package)):
        if name.endswith(".py"):
            with open(os.path.join(package, name), "rb") as source:
                yield f"{NAME}/{name}", source.read()


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    wheel_name = f"{NAME}-{VERSION}-py3-none-any.whl"
    records = []
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w",
                         zipfile.ZIP_DEFLATED) as wheel:
        entries = list(_files()) + [(f"{DIST_INFO}/METADATA", METADATA.encode()),
                                    (f"{DIST_INFO}/WHEEL", WHEEL.encode())]
        for path, data in entries:
            wheel.writestr(path, data)
            records.append(_record_line(path, data))
        records.append(f"{DIST_INFO}/RECORD,,")
        wheel.writestr(f"{DIST_INFO}/RECORD", "\n".join(records) + "\n")
    return wheel_name
