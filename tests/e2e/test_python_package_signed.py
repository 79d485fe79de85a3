"""The signed release: scripts/package.sh with a certificate, against the real program under Wine.

The suite makes a throwaway authority of its own with openssl (an RSA root, a code-signing
certificate it issued, in a PKCS#12 file with a password, and a time-stamping certificate), and
serves RFC 3161 time stamps on 127.0.0.1 with `openssl ts -reply`, so that no test needs the
network. It builds a signed wheel and an unsigned one from the same build tree, then checks:
the signature verifies against that authority (osslsigncode verify), names the signer, carries
the time stamp of the local server, and fails for a changed byte or an authority not trusted;
signing added the signature alone, and the wheel's RECORD carries the signed program's hash; the
signed program passes the PE header checks (tests/security) and runs under Wine: icon added,
tooltip right, window closed with exit code 0."""

from __future__ import annotations

import base64
import hashlib
import http.server
import os
import secrets
import shutil
import subprocess
import sys
import threading
import zipfile
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree clean

import harness  # noqa: E402
from harness import TrayTestCase, current_session  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
PROGRAM = "vestrel_tray/vestrel-tray.exe"
LABELS = {"title": "Vestrel", "running": "Läuft"}

# Extensions of the two certificates the root issues: code signing, and time stamping (which
# RFC 3161 wants critical).
EXTENSIONS = """\
[signer]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tsa]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""
TSA_CONFIG = """\
[tsa]
default_tsa = local
[local]
serial = {folder}/tsa-serial
signer_cert = {folder}/tsa.pem
certs = {folder}/root.pem
signer_key = {folder}/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512, sha1
accuracy = secs:1
ordering = yes
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


def run(*args: str | Path, cwd: Path | None = None,
        env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    """Runs a Linux tool to its end; fails the test with its output if it fails."""
    result = subprocess.run([str(a) for a in args], capture_output=True, text=True, cwd=cwd,
                            env=env, timeout=300)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(map(str, args))} failed with {result.returncode}:\n"
                             f"{result.stdout[-2000:]}\n{result.stderr[-2000:]}")
    return result


class ThrowawayAuthority:
    """An RSA root, the code-signing certificate it issued (signer.p12, with a password) and
    its time-stamping certificate, made with openssl in folder."""

    def __init__(self, folder: Path):
        self.folder = folder
        folder.mkdir(parents=True)
        token = secrets.token_hex(4)
        self.subject = f"/CN=Vestrel Test Signing {token}/O=Vestrel Tests"
        self.password = f"pass word {token}"  # a blank and a quote, as passwords have
        self.root = folder / "root.pem"
        self.pkcs12 = folder / "signer.p12"
        (folder / "extensions.cnf").write_text(EXTENSIONS)
        run("openssl", "req", "-x509", "-newkey", "rsa:3072", "-nodes", "-days", "3",
            "-keyout", folder / "root.key", "-out", self.root,
            "-subj", "/CN=Vestrel Test Root/O=Vestrel Tests",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        self._issue("signer", self.subject)
        self._issue("tsa", "/CN=Vestrel Test Time Stamps/O=Vestrel Tests")
        (folder / "password").write_text(self.password)
        run("openssl", "pkcs12", "-export", "-inkey", folder / "signer.key",
            "-in", folder / "signer.pem", "-certfile", self.root, "-out", self.pkcs12,
            "-passout", f"file:{folder / 'password'}")
        (folder / "password").unlink()  # package.sh gets it from the environment
        (folder / "tsa-serial").write_text("01\n")
        (folder / "tsa.cnf").write_text(TSA_CONFIG.format(folder=folder))

    def _issue(self, name: str, subject: str) -> None:
        key, request = self.folder / f"{name}.key", self.folder / f"{name}.csr"
        run("openssl", "req", "-newkey", "rsa:3072", "-nodes", "-keyout", key, "-out", request,
            "-subj", subject)
        run("openssl", "x509", "-req", "-in", request, "-CA", self.root,
            "-CAkey", self.folder / "root.key", "-CAcreateserial", "-days", "2",
            "-out", self.folder / f"{name}.pem", "-extfile", self.folder / "extensions.cnf",
            "-extensions", name)


class TimeStampServer:
    """RFC 3161 over HTTP on 127.0.0.1, answered by `openssl ts -reply`; counts its requests."""

    def __init__(self, authority: ThrowawayAuthority):
        self.authority = authority
        self.requests = 0
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self) -> None:
                query = self.rfile.read(int(self.headers["Content-Length"]))
                server.requests += 1
                folder = server.authority.folder
                (folder / "query.tsq").write_bytes(query)
                run("openssl", "ts", "-reply", "-config", folder / "tsa.cnf",
                    "-queryfile", folder / "query.tsq", "-out", folder / "reply.tsr")
                reply = (folder / "reply.tsr").read_bytes()
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, format: str, *args: object) -> None:
                pass

        self._http = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self._http.server_address[1]}/"
        self._thread = threading.Thread(target=self._http.serve_forever, daemon=True)

    def __enter__(self) -> TimeStampServer:
        self._thread.start()
        return self

    def __exit__(self, *_: object) -> None:
        self._http.shutdown()
        self._http.server_close()
        self._thread.join()


def package(out: Path, *options: str, env: dict[str, str] | None = None) -> Path:
    """scripts/package.sh on the bench's build tree; the wheel it made."""
    build = current_session().config.build_dir
    run(REPO / "scripts" / "package.sh", "--no-setup", "--build-dir", build, "--out", out,
        *options, cwd=REPO, env=env)
    wheels = sorted(out.glob("*-py3-none-win_amd64.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def record_of(wheel: zipfile.ZipFile, name: str) -> str:
    info = next(n for n in wheel.namelist() if n.endswith(".dist-info/RECORD"))
    for line in wheel.read(info).decode().splitlines():
        path, digest, _ = line.rsplit(",", 2)
        if path == name:
            return digest
    raise AssertionError(f"{name} is not in {info}")


def verify(exe: Path, *options: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(["osslsigncode", "verify", *options, "-in", str(exe)],
                          capture_output=True, text=True, timeout=120)


class SignedProgram(TrayTestCase):
    MUTEX = "vestrel-e2e-signed"
    authority: ThrowawayAuthority
    stamps: int
    signed_wheel: Path
    unsigned_wheel: Path
    signed_exe: Path

    @classmethod
    def setUpClass(cls) -> None:
        folder = current_session().config.work_root / "signed-release"
        shutil.rmtree(folder, ignore_errors=True)
        cls.authority = ThrowawayAuthority(folder / "authority")
        # No proxy may stand between osslsigncode and the local server.
        env = {key: value for key, value in os.environ.items()
               if key.lower() not in ("http_proxy", "https_proxy", "all_proxy")
               and not key.startswith("VESTREL_SIGN_")}
        with TimeStampServer(cls.authority) as server:
            cls.signed_wheel = package(
                folder / "signed", "--pkcs12", str(cls.authority.pkcs12),
                "--timestamp", server.url, env={**env, "VESTREL_SIGN_PASSWORD":
                                                cls.authority.password})
            cls.stamps = server.requests
        cls.unsigned_wheel = package(folder / "unsigned", env=env)
        with zipfile.ZipFile(cls.signed_wheel) as wheel:
            wheel.extractall(folder / "installed")
        cls.signed_exe = folder / "installed" / PROGRAM

    def test_the_signature_verifies_and_names_its_signer(self) -> None:
        root = str(self.authority.root)
        result = verify(self.signed_exe, "-CAfile", root, "-TSA-CAfile", root)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("Signature verification: ok", result.stdout)
        self.assertIn(f"Subject: {self.authority.subject}", result.stdout)
        # The time stamp came from the server given to package.sh, once, and verifies.
        self.assertEqual(self.stamps, 1)
        self.assertIn("Timestamp Server Signature verification: ok", result.stdout)

        # The same check fails where it must: an authority that is not trusted, a changed byte.
        untrusted = verify(self.signed_exe)
        self.assertNotEqual(untrusted.returncode, 0, untrusted.stdout)
        changed = self.work / "changed.exe"
        data = bytearray(self.signed_exe.read_bytes())
        data[0x400] ^= 0xFF  # inside the first section, which the digest covers
        changed.write_bytes(bytes(data))
        tampered = verify(changed, "-CAfile", root, "-TSA-CAfile", root)
        self.assertNotEqual(tampered.returncode, 0, tampered.stdout)

    def test_signing_adds_the_signature_alone_and_the_record_carries_it(self) -> None:
        built = (current_session().config.build_dir / "vestrel-tray.exe").read_bytes()
        signed = self.signed_exe.read_bytes()
        self.assertNotEqual(signed, built)
        stripped = self.work / "stripped.exe"
        run("osslsigncode", "remove-signature", "-in", self.signed_exe, "-out", stripped)
        self.assertEqual(stripped.read_bytes(), built, "signing changed more than the signature")

        digest = base64.urlsafe_b64encode(hashlib.sha256(signed).digest()).rstrip(b"=")
        with zipfile.ZipFile(self.signed_wheel) as wheel, \
                zipfile.ZipFile(self.unsigned_wheel) as plain:
            self.assertEqual(record_of(wheel, PROGRAM), f"sha256={digest.decode()}")
            self.assertEqual(plain.read(PROGRAM), built, "the unsigned wheel's program")
            # The same wheel otherwise: every other file alike, the RECORD apart.
            self.assertEqual(wheel.namelist(), plain.namelist())
            others = [n for n in wheel.namelist() if n != PROGRAM and not n.endswith("RECORD")]
            self.assertEqual({n: wheel.read(n) for n in others},
                             {n: plain.read(n) for n in others})

    def test_the_signed_program_passes_the_pe_header_checks(self) -> None:
        result = subprocess.run([sys.executable, str(REPO / "tests" / "security" /
                                                     "test_pe_header.py"), str(self.signed_exe)],
                                capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stderr, r"Ran [1-9]\d* tests?")

    def test_the_signed_program_runs_under_wine(self) -> None:
        self.start_standin()
        self.write_state(labels=LABELS)
        session = self.session
        tray = session.programs.start(self.signed_exe, *self.tray_args(), name="signed-tray")
        window = session.traytool.wait_for_window(title=self.MUTEX)
        session.traytool.watch_exit(tray, window["pid"])
        added = self.standin.wait_for(lambda r: r["op"] == "add", "the icon to be added")
        self.assertEqual((added["hwnd"], added["result"]), (window["hwnd"], 1))
        self.assertEqual(added["szTip"], "Vestrel\nLäuft")
        self.assertEqual((added["icon"]["width"], added["icon"]["height"]), (16, 16))
        session.screen.wait_for_tray_slot(filled=True, name="signed-icon-shown")
        session.traytool.close(title=self.MUTEX)
        self.assert_tray_ended(tray)


if __name__ == "__main__":
    harness.main()
