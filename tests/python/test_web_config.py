"""The exporter's web configuration file: its faults, certificates renewed on disk, basic auth."""

import base64
import socket
import ssl
import subprocess
import sys
import threading
from pathlib import Path

import bcrypt
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))
from hostprobe_exporter.web_config import WebConfigError, load_web_config  # noqa: E402

BAD_FILES = """(no file) | No such file or directory
a: b: c | not YAML: mapping values are not allowed here (line 1, column 5)
- a | not a mapping
tls: {} | tls: unknown key
tls_server_config: {max_version: TLS13} | tls_server_config.max_version: unknown key
tls_server_config: {client_auth_type: RequestClientCert} | tls_server_config.client_auth_type: RequestClientCert \
is not supported
tls_server_config: {min_version: 1.3} | tls_server_config.min_version: 1.3 is not one of TLS10, TLS11, TLS12, TLS13
basic_auth_users: {alice: s3cret} | basic_auth_users.alice: not a bcrypt hash as htpasswd -nBC 10 writes
tls_server_config: {cert_file: a.pem, key_file: b.key} | tls_server_config.key_file b.key does not match cert_file a.pem
tls_server_config: {cert_file: a.pem, key_file: a.key, client_ca_file: /, client_auth_type: VerifyClientCertIfGiven} \
| tls_server_config.client_ca_file /: Is a directory"""


@pytest.fixture(autouse=True)
def pairs(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for n in "ab":  # a.pem with a.key, b.pem with b.key
        subprocess.check_call(f"openssl req -x509 -newkey ed25519 -nodes -batch -keyout {n}.key -out {n}.pem".split())


@pytest.mark.parametrize("text, fault", [row.split(" | ") for row in BAD_FILES.splitlines()])
def test_a_bad_file_is_refused_in_one_line(text, fault):
    Path("web.yml").write_text(text) if text != "(no file)" else None
    with pytest.raises(WebConfigError) as raised:
        load_web_config("web.yml")
    assert str(raised.value) == f"web.yml: {fault}"


def served_certificate(context, renewed):
    Path(renewed).replace("a" + renewed[1:])  # over the file it renews, as renewal tools do; a.pem over itself: none
    with socket.create_server(("127.0.0.1", 0)) as listener:  # a client connecting by address sends no SNI
        threading.Thread(target=lambda: context.wrap_socket(listener.accept()[0], server_side=True).close()).start()
        return ssl.get_server_certificate(listener.getsockname())


def test_certificates_renewed_on_disk_are_served_from_the_first_connection_after_they_match(capfd):
    Path("web.yml").write_text("tls_server_config: {cert_file: a.pem, key_file: a.key}")
    context, (a, b) = load_web_config("web.yml").tls_context, [Path(f"{name}.pem").read_text() for name in "ab"]
    assert [served_certificate(context, renewed) for renewed in ("a.pem", "b.pem", "a.pem", "b.key")] == [a, a, a, b]
    log = "hostprobe-exporter: web.yml: tls_server_config.key_file a.key does not match cert_file a.pem"
    assert capfd.readouterr().err == log + "; serving the certificate loaded before\n"  # once


def test_basic_auth_spends_a_bcrypt_check_on_a_wrong_password_or_unknown_user_and_on_a_right_one_once(monkeypatch):
    password_hash = bcrypt.hashpw(b"s3:cret", bcrypt.gensalt(4)).decode().replace("$2b$", "$2y$")  # as htpasswd
    Path("web.yml").write_text(f"basic_auth_users: {{alice: '{password_hash}'}}")
    auth, checks, checkpw = load_web_config("web.yml").basic_auth, [], bcrypt.checkpw
    monkeypatch.setattr(bcrypt, "checkpw", lambda password, hashed: checks.append(hashed) or checkpw(password, hashed))
    credentials = (b"alice:s3:cret", b"alice:wrong", b"bob:s3:cret", b"alice", b"\xff:x")
    right, wrong, unknown_user, no_colon, not_utf8 = ["Basic " + base64.b64encode(c).decode() for c in credentials]
    headers = [right, right, "basic" + right[5:], wrong, unknown_user, None, "Bearer x", "Basic !", no_colon, not_utf8]
    assert [(auth.authorised(h), len(checks)) for h in headers] == [(True, 1)] * 3 + [(False, 2)] + [(False, 3)] * 6
