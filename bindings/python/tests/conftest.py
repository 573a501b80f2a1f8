import os
import subprocess
import sys
import urllib.request

import pytest

KEY = "py-test-key"


class Emulator:
    def __init__(self):
        self.process = subprocess.Popen(
            [os.environ["ZANTREL_EMULATOR"], "--api-key", KEY], stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        self.url = line.strip().split("listening on ", 1)[1]

    def scenario(self, name):
        request = urllib.request.Request(self.url + "/emulator/scenario", data=name.encode(),
                                         method="PUT")
        urllib.request.urlopen(request).read()

    def stop(self):
        self.process.terminate()
        self.process.wait()


@pytest.fixture(scope="session")
def emulator():
    server = Emulator()
    yield server
    server.stop()


@pytest.fixture(autouse=True)
def normal_answers(emulator):
    emulator.scenario("normal")
    yield


def pytest_configure():
    sys.path.insert(0, os.environ.get("PYTHONPATH", ""))
